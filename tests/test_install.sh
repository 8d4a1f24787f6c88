#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The installed software as a user gets it, for amd64 and i386:
#
# - a source installation (cmake --install --prefix) of the preset builds
#   (build/default, build/i386) into a staging prefix;
# - the Debian packages of scripts/package (build/packages), unpacked with
#   dpkg-deb -x into a staging root, and checked as packages (fields,
#   documentation, files shared by the two architectures, lintian).
#
# In each tree: the ELF files (SONAME, NEEDED, no RPATH/RUNPATH), the
# pkg-config and CMake package files, the manual pages, an application
# linked against the unversioned library name, and every example built
# against the staged files only (pkg-config and find_package) and run on the
# staged virtual card, its output compared with what it must print.
#
#   tests/test_install.sh [--debs DIR] [--build-amd64 DIR] [--build-i386 DIR] [ARCH...|shared]
#
# With both architectures (the default) the checks across them follow: word
# size of the CMake packages, co-installation, dpkg, lintian. `shared` runs
# only those, so that each architecture's part can run on a kernel that
# executes its programs (scripts/test).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

debs=$root/build/packages
declare -A build=([amd64]=$root/build/default [i386]=$root/build/i386)
arches=()
while [ $# -gt 0 ]; do
    case $1 in
    --debs) debs=$(cd "$2" && pwd); shift 2 ;;
    --build-amd64) build[amd64]=$(cd "$2" && pwd); shift 2 ;;
    --build-i386) build[i386]=$(cd "$2" && pwd); shift 2 ;;
    amd64|i386) arches+=("$1"); shift ;;
    shared) shared=1; shift ;;
    *) echo "usage: $0 [--debs DIR] [--build-amd64 DIR] [--build-i386 DIR] [amd64|i386...|shared]" >&2; exit 2 ;;
    esac
done
[ ${#arches[@]} -gt 0 ] || [ "${shared:-}" = 1 ] || arches=(amd64 i386)

version=$(sed -n 's/^project(pci_5C3A VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
deb_version=$version-1
work=$(mktemp -d "${TMPDIR:-/tmp}/pci5c3a-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The virtual card is configured by the tests themselves only.
for v in $(env | sed -n 's/^\(PCI5C3A_VCARD_[A-Z_]*\)=.*/\1/p'); do unset "$v"; done

passed=0 failed=0
ok() { passed=$((passed + 1)); echo "ok - $1"; }
fail() {
    failed=$((failed + 1))
    echo "FAIL - $1"
    [ $# -lt 2 ] || printf '%s\n' "$2" | sed 's/^/    /'
}
# check DESCRIPTION COMMAND...: passes when the command succeeds.
check() {
    local what=$1 out
    shift
    if out=$("$@" 2>&1); then ok "$what"; else fail "$what" "$out"; fi
}
# same DESCRIPTION EXPECTED ACTUAL
same() {
    if [ "$2" = "$3" ]; then ok "$1"; else fail "$1" "$(diff <(echo "$2") <(echo "$3"))"; fi
}

triplet() { [ "$1" = amd64 ] && echo x86_64-linux-gnu || echo i386-linux-gnu; }
elf_class() { [ "$1" = amd64 ] && echo ELF64 || echo ELF32; }
cc_flags() { [ "$1" = amd64 ] && echo "" || echo "-m32"; }

# ---------------------------------------------------------------------------
# ELF files

dynamic() { readelf -d "$1" 2>&1; }
needed() { dynamic "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' '; }

check_library() {  # TREE LIBDIR ARCH
    local lib=$1/$2/libpci_5C3A.so.$version
    same "$3 $4: library is a $(elf_class "$3") file" "$(elf_class "$3")" \
        "$(readelf -h "$lib" 2>&1 | awk '/Class:/ {print $2}')"
    same "$3 $4: SONAME libpci_5C3A.so.0" "libpci_5C3A.so.0" \
        "$(dynamic "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')"
    local n bad=""
    for n in $(needed "$lib"); do
        case $n in libc.so.6|libm.so.6) ;; *) bad+="$n " ;; esac
    done
    same "$3 $4: library needs libc and libm only" "" "$bad"
    same "$3 $4: library has no RPATH/RUNPATH" "" "$(dynamic "$lib" | grep -E 'R(UN)?PATH')"
    same "$3 $4: SONAME and unversioned links" \
        "libpci_5C3A.so.0 -> libpci_5C3A.so.$version libpci_5C3A.so -> libpci_5C3A.so.0" \
        "libpci_5C3A.so.0 -> $(readlink "$1/$2/libpci_5C3A.so.0") libpci_5C3A.so -> $(readlink "$1/$2/libpci_5C3A.so")"
}

check_programs() {  # TREE LIBDIR ARCH LABEL
    local prog=$1/bin/test5C3A
    same "$3 $4: test5C3A is a $(elf_class "$3") program" "$(elf_class "$3")" \
        "$(readelf -h "$prog" 2>&1 | awk '/Class:/ {print $2}')"
    case " $(needed "$prog")" in
    *" libpci_5C3A.so.0 "*) ok "$3 $4: test5C3A needs libpci_5C3A.so.0" ;;
    *) fail "$3 $4: test5C3A needs libpci_5C3A.so.0" "$(needed "$prog")" ;;
    esac
    # Installed, the program finds the library through the system's search
    # path, never through a RUNPATH into the build tree.
    same "$3 $4: test5C3A has no RPATH/RUNPATH" "" "$(dynamic "$prog" | grep -E 'R(UN)?PATH')"
    same "$3 $4: virtual card library is a $(elf_class "$3") file" "$(elf_class "$3")" \
        "$(readelf -h "$1/$2/pci_5C3A/libpci_5C3A_vcard.so" 2>&1 | awk '/Class:/ {print $2}')"
    check "$3 $4: with-virtual-card is executable" test -x "$1/bin/with-virtual-card"
}

# ---------------------------------------------------------------------------
# pkg-config and the CMake package

check_pkgconfig() {  # TREE LIBDIR ARCH LABEL
    local pc=$1/$2/pkgconfig flags word inc="" libdir="" libs=""
    same "$3 $4: pkg-config version" "$version" "$(PKG_CONFIG_LIBDIR=$pc pkg-config --modversion pci_5C3A 2>&1)"
    flags=$(PKG_CONFIG_LIBDIR=$pc pkg-config --cflags --libs pci_5C3A 2>&1)
    for word in $flags; do
        case $word in
        -I*) inc=$(realpath -m "${word#-I}") ;;
        -L*) libdir=$(realpath -m "${word#-L}") ;;
        -l*) libs+="$word " ;;
        esac
    done
    # Relocatable: the paths follow the tree, wherever it was put.
    same "$3 $4: pkg-config paths lead into the tree ($flags)" \
        "$(realpath "$1/include") $(realpath "$1/$2") -lpci_5C3A " "$inc $libdir $libs"
}

# ---------------------------------------------------------------------------
# Manual pages

check_manpages() {  # TREE ARCH LABEL
    local man=$1/share/man page out missing=""
    for page in man1/test5C3A.1.gz man1/with-virtual-card.1.gz man3/pci_5C3A.3.gz man7/pci5c3a-vcard.7.gz; do
        if [ ! -f "$man/$page" ]; then missing+="$page "; continue; fi
        out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$man/$page" 2>&1 >/dev/null)
        same "$2 $3: $page formats without warnings" "" "$out"
    done
    same "$2 $3: manual pages present" "" "$missing"
    for page in CanOpenDriver CanSendMsg CanDetectBaudrate _5C3A_Read; do
        [ "$(readlink "$man/man3/$page.3.gz")" = pci_5C3A.3.gz ] && [ -e "$man/man3/$page.3.gz" ] ||
            missing+="$page "
    done
    same "$2 $3: function names lead to pci_5C3A(3)" "" "$missing"
}

# ---------------------------------------------------------------------------
# Applications

# What each example prints on the virtual card; detect_bitrate with a remote
# node at 250 kbit/s.
expected_output() {
    case $1 in
    open_send_receive) cat <<'EOF'
sent     id 0x123
sent     id 0x200
sent     id 0x1AB
2 messages waiting
received id 0x123, 4 bytes: 00 01 02 03
received id 0x1AB, 4 bytes: 02 03 04 05
EOF
    ;;
    receive_signal) cat <<'EOF'
5 signals for 5 messages sent
received id 0x300 data A0
received id 0x301 data A1
received id 0x302 data A2
received id 0x303 data A3
received id 0x304 data A4
EOF
    ;;
    error_counters) cat <<'EOF'
after open:            tx errors   0, rx errors   0, warning limit  96, status 0x0C
unacknowledged send:   tx errors 128, rx errors   0, warning limit  64, status 0x60 (error warning)
error code 0xD9: other error in the acknowledge slot, while transmitting
after reset of count:  tx errors   0, rx errors   0, warning limit  64, status 0x04
EOF
    ;;
    detect_bitrate) cat <<'EOF'
bit-rate index 1: 250 kbit/s
listening at 250 kbit/s: received id 0x3A5, 8 bytes
EOF
    ;;
    esac
}
examples=(open_send_receive receive_signal error_counters detect_bitrate)

# run_on_vcard TREE LIBDIR PROGRAM: runs PROGRAM with the tree's library and
# the tree's virtual card preloaded.
# The preload is set inside the shell that becomes the program, so that no
# helper of the other word size (timeout, env) is started with it.
run_on_vcard() {
    local remote=""
    case $3 in */detect_bitrate) remote=250k:1 ;; esac
    timeout 60 sh -c 'LD_LIBRARY_PATH=$1 LD_PRELOAD=$2 PCI5C3A_VCARD_REMOTE=$3 exec "$4"' sh \
        "$1/$2" "$1/$2/pci_5C3A/libpci_5C3A_vcard.so" "$remote" "$3" </dev/null 2>&1
}

check_examples() {  # TREE LIBDIR ARCH LABEL EXAMPLES_DIR
    local tree=$1 libdir=$2 arch=$3 label=$4 src=$5 dir out ex flags
    flags=$(cc_flags "$arch")
    check "$arch $label: examples installed" test -f "$src/Makefile" -a -f "$src/CMakeLists.txt"

    # With pkg-config, through the Makefile, in a copy of the examples.
    dir=$work/$arch-$label-make
    cp -r "$src" "$dir"
    if out=$(PKG_CONFIG_LIBDIR="$tree/$libdir/pkgconfig" make -C "$dir" CC="gcc $flags" CXX="g++ $flags" 2>&1); then
        ok "$arch $label: examples build with pkg-config"
    else
        fail "$arch $label: examples build with pkg-config" "$out"
    fi

    # With find_package, from the tree's prefix only.
    local cmake_args=(-DCMAKE_PREFIX_PATH="$tree" -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF)
    [ "$arch" = amd64 ] || cmake_args+=(-DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32
        -DCMAKE_LIBRARY_ARCHITECTURE=i386-linux-gnu)
    if out=$(cmake -S "$src" -B "$work/$arch-$label-cmake" "${cmake_args[@]}" 2>&1 &&
        cmake --build "$work/$arch-$label-cmake" -j 2 2>&1); then
        ok "$arch $label: examples build with find_package"
    else
        fail "$arch $label: examples build with find_package" "$out"
    fi

    for ex in "${examples[@]}"; do
        for dir in "$work/$arch-$label-make" "$work/$arch-$label-cmake"; do
            [ -x "$dir/$ex" ] || { fail "$arch $label: $ex built in ${dir##*-}"; continue; }
            case " $(needed "$dir/$ex")" in
            *" libpci_5C3A.so.0 "*) ;;
            *) fail "$arch $label: $ex (${dir##*-}) needs libpci_5C3A.so.0" "$(needed "$dir/$ex")" ;;
            esac
            same "$arch $label: $ex (${dir##*-}) on the virtual card" \
                "$(expected_output "$ex")" "$(run_on_vcard "$tree" "$libdir" "$dir/$ex")"
        done
    done
}

# An application linked against the unversioned name (NEEDED
# "libpci_5C3A.so"), as older builds were, loads with the tree's library.
check_unversioned() {  # TREE LIBDIR ARCH LABEL
    local dir=$work/$3-$4-unversioned flags out
    flags=$(cc_flags "$3")
    mkdir -p "$dir/stub"
    printf 'int GetDriverVersion(void) { return -1; }\n' >"$dir/stub.c"
    printf '#include <stdio.h>\nint GetDriverVersion(void);\nint main(void) { printf("version %%d\\n", GetDriverVersion()); return 0; }\n' >"$dir/app.c"
    gcc $flags -shared -fPIC -o "$dir/stub/libpci_5C3A.so" "$dir/stub.c" &&
        gcc $flags -o "$dir/app" "$dir/app.c" -L"$dir/stub" -lpci_5C3A || { fail "$3 $4: old-style application builds"; return; }
    same "$3 $4: old-style application needs libpci_5C3A.so" "libc.so.6 libpci_5C3A.so " "$(needed "$dir/app")"
    out=$(LD_LIBRARY_PATH="$1/$2" "$dir/app" 2>&1)
    same "$3 $4: old-style application loads the installed library" "version 4" "$out"
}

# ---------------------------------------------------------------------------
# The Debian packages

deb_of() { ls "$debs/$1"_"$deb_version"_"$2".deb 2>/dev/null; }
packages_of() { echo "libpci-5c3a0:$1 libpci-5c3a-dev:$1 pci-5c3a-tools:$1 libpci-5c3a-vcard:$1 pci-5c3a-vcard:all python3-pci5c3a:all"; }

check_package_fields() {  # ARCH
    local pair pkg arch deb
    for pair in $(packages_of "$1"); do
        pkg=${pair%%:*} arch=${pair#*:}
        deb=$(deb_of "$pkg" "$arch") || { fail "$1: package $pkg ($arch) built"; continue; }
        same "$1: $pkg fields" "$pkg $deb_version $arch" \
            "$(dpkg-deb -f "$deb" Package Version Architecture | sed 's/^[^:]*: //' | tr '\n' ' ' | sed 's/ $//')"
        check "$1: $pkg has copyright and changelog.Debian.gz" \
            sh -c "dpkg-deb -c '$deb' | grep -q ' ./usr/share/doc/$pkg/copyright\$' &&
                   dpkg-deb -c '$deb' | grep -q ' ./usr/share/doc/$pkg/changelog.Debian.gz\$'"
    done
    deb=$(deb_of libpci-5c3a0 "$1") || return
    same "$1: runtime package is Multi-Arch: same, section libs" "same libs" \
        "$(dpkg-deb -f "$deb" Multi-Arch Section | sed 's/^[^:]*: //' | tr '\n' ' ' | sed 's/ $//')"
    case $(dpkg-deb -f "$deb" Depends) in
    *"libc6 (>= "*) ok "$1: runtime package depends on libc6" ;;
    *) fail "$1: runtime package depends on libc6" "$(dpkg-deb -f "$deb" Depends)" ;;
    esac
    check "$1: runtime package has shlibs and the ldconfig trigger, no ldconfig scripts" \
        sh -c "dpkg-deb -I '$deb' shlibs | grep -qx 'libpci_5C3A 0 libpci-5c3a0 (>= $version)' &&
               dpkg-deb -I '$deb' triggers | grep -qx 'activate-noawait ldconfig' &&
               ! dpkg-deb -I '$deb' postinst >/dev/null 2>&1"
    same "$1: unversioned link in the runtime package only" "1 0" \
        "$(dpkg-deb -c "$deb" | grep -c '/libpci_5C3A.so -> ') $(dpkg-deb -c "$(deb_of libpci-5c3a-dev "$1")" | grep -c '/libpci_5C3A.so ')"
    same "$1: -dev package depends on this runtime version" "libpci-5c3a0 (= $deb_version)" \
        "$(dpkg-deb -f "$(deb_of libpci-5c3a-dev "$1")" Depends)"
    same "$1: Multi-Arch of -dev, vcard library, launcher" "same same foreign" \
        "$(dpkg-deb -f "$(deb_of libpci-5c3a-dev "$1")" Multi-Arch) $(dpkg-deb -f "$(deb_of libpci-5c3a-vcard "$1")" Multi-Arch) $(dpkg-deb -f "$(deb_of pci-5c3a-vcard all)" Multi-Arch)"
    case $(dpkg-deb -f "$(deb_of pci-5c3a-tools "$1")" Depends) in
    *"libpci-5c3a0 (>= $version)"*) ok "$1: tools depend on the runtime package" ;;
    *) fail "$1: tools depend on the runtime package" "$(dpkg-deb -f "$(deb_of pci-5c3a-tools "$1")" Depends)" ;;
    esac
    # An i386 build on amd64 links the multilib libraries; the packages must
    # name the i386 system's own.
    local all_depends="" d
    for pair in $(packages_of "$1"); do
        d=$(deb_of "${pair%%:*}" "${pair#*:}") && all_depends+="$(dpkg-deb -f "$d" Depends), "
    done
    same "$1: no multilib package names in Depends" "" "$(grep -oE 'lib32[^ ,]*|libc6-i386' <<<"$all_depends")"
}

# Multi-Arch: same packages of both architectures install side by side: each
# path they share must have the same content.
check_coinstallable() {
    local pkg a b path differ=""
    for pkg in libpci-5c3a0 libpci-5c3a-dev libpci-5c3a-vcard; do
        a=$work/coinst-$pkg-amd64 b=$work/coinst-$pkg-i386
        dpkg-deb -x "$(deb_of "$pkg" amd64)" "$a" && dpkg-deb -x "$(deb_of "$pkg" i386)" "$b" ||
            { fail "$pkg: both architectures unpack"; continue; }
        while IFS= read -r path; do
            if [ -f "$b/$path" ] && [ ! -L "$a/$path" ] && ! cmp -s "$a/$path" "$b/$path"; then
                differ+="$pkg: $path "
            fi
        done < <(cd "$a" && find . -type f)
    done
    same "amd64 and i386 Multi-Arch: same packages share only identical files" "" "$differ"
}

check_lintian() {
    local out unexpected
    out=$(lintian --tag-display-limit 0 "$debs"/*.deb 2>&1 | grep -v 'running with root privileges')
    same "lintian: no errors" "" "$(grep '^E:' <<<"$out")"
    # Warnings we keep, and why:
    # - initial-upload-closes-no-bugs: the packages are not uploaded to Debian;
    # - lacks-unversioned-link-to-shared-library, link-to-shared-library-in-wrong-package:
    #   the unversioned link ships in the runtime package for applications
    #   linked against that name.
    unexpected=$(grep '^W:' <<<"$out" | grep -vE ' (initial-upload-closes-no-bugs|lacks-unversioned-link-to-shared-library|link-to-shared-library-in-wrong-package) ')
    same "lintian: no other warnings" "" "$unexpected"
}

# The packaged test5C3A through the packaged launcher: the loop-back test
# passes; then the key wait ends it, as standard input is no terminal.
start_looptest() {  # TREE LIBDIR ARCH OUTFILE
    PCI5C3A_VCARD_LIB="$1/$2/pci_5C3A/libpci_5C3A_vcard.so" LD_LIBRARY_PATH="$1/$2" \
        timeout 120 "$1/bin/with-virtual-card" "$1/bin/test5C3A" </dev/null >"$4" 2>&1
    echo "status $?" >>"$4"
}

# The python-can interface from its package, with Debian's python3 (64-bit):
# python-can finds it through the package's entry point, and a bus works on
# the staged virtual card.
check_python() {  # TREE LIBDIR
    local deb site=$1/lib/python3/dist-packages out
    deb=$(deb_of python3-pci5c3a all) || return
    case $(dpkg-deb -f "$deb" Depends) in
    *"python3-can (>= 4.1)"*"libpci-5c3a0 (>= $version)"*) ok "python3-pci5c3a depends on python3-can and libpci-5c3a0" ;;
    *) fail "python3-pci5c3a depends on python3-can and libpci-5c3a0" "$(dpkg-deb -f "$deb" Depends)" ;;
    esac
    run_python() {
        (cd "$work" && timeout 60 env PYTHONPATH="$site" LD_LIBRARY_PATH="$1/$2" \
            LD_PRELOAD="$1/$2/pci_5C3A/libpci_5C3A_vcard.so" /usr/bin/python3 "${@:3}" </dev/null 2>&1)
    }
    out=$(run_python "$1" "$2" -c '
import can, can_pci5c3a
assert can_pci5c3a.__file__.startswith("'"$site"'/"), can_pci5c3a.__file__
with can.Bus(interface="pci5c3a", channel=0) as a, can.Bus(interface="pci5c3a", channel=1) as b:
    a.send(can.Message(arbitration_id=0x5C3, data=b"\x01\x02", is_extended_id=False))
    m = b.recv(timeout=2)
    print(a.channel_info, "|", hex(m.arbitration_id), m.data.hex())
')
    same "python3-pci5c3a: can.Bus(interface=\"pci5c3a\", channel=0) works on the virtual card" \
        "pci5c3a card 0 port 0 (handle 0), 500000 bit/s, 11-bit identifiers | 0x5c3 0102" "$out"
    out=$(run_python "$1" "$2" "$1/share/doc/python3-pci5c3a/examples/send_receive.py")
    case $out in
    *"port 1 received id 0x104 data 04 04 04 04 04"*"answer to its remote frame"*) ok "python3-pci5c3a: the example runs" ;;
    *) fail "python3-pci5c3a: the example runs" "$out" ;;
    esac
}

# ---------------------------------------------------------------------------

for arch in "${arches[@]}"; do
    ma=$(triplet "$arch")

    # A source installation of the preset build.
    if [ -f "${build[$arch]}/cmake_install.cmake" ]; then
        prefix=$work/$arch-prefix
        if out=$(cmake --install "${build[$arch]}" --prefix "$prefix" 2>&1); then
            ok "$arch: cmake --install --prefix"
            libdir=$(cd "$prefix" && dirname "$(find . -name "libpci_5C3A.so.$version" | head -1)")
            libdir=${libdir#./}
            check_library "$prefix" "$libdir" "$arch" "prefix"
            check_programs "$prefix" "$libdir" "$arch" "prefix"
            check_pkgconfig "$prefix" "$libdir" "$arch" "prefix"
            check_manpages "$prefix" "$arch" "prefix"
            check_unversioned "$prefix" "$libdir" "$arch" "prefix"
            check_examples "$prefix" "$libdir" "$arch" "prefix" "$(ls -d "$prefix"/share/doc/*/examples | head -1)"
        else
            fail "$arch: cmake --install --prefix" "$out"
        fi
    else
        fail "$arch: no build in ${build[$arch]} to install from"
    fi

    # The packages, unpacked.
    sysroot=$work/$arch-root
    unpacked=0
    for pair in $(packages_of "$arch"); do
        deb=$(deb_of "${pair%%:*}" "${pair#*:}") && dpkg-deb -x "$deb" "$sysroot" && unpacked=$((unpacked + 1))
    done
    if [ $unpacked -ne 6 ]; then
        fail "$arch: the six packages in $debs unpack"
        continue
    fi
    ok "$arch: the six packages unpack"
    tree=$sysroot/usr libdir=lib/$ma
    start_looptest "$tree" "$libdir" "$arch" "$work/$arch-looptest.txt" &
    looptest=$!
    check_library "$tree" "$libdir" "$arch" "package"
    check_programs "$tree" "$libdir" "$arch" "package"
    check_pkgconfig "$tree" "$libdir" "$arch" "package"
    check_manpages "$tree" "$arch" "package"
    check_package_fields "$arch"
    # The runtime package alone serves an application linked against the
    # unversioned name.
    runtime=$work/$arch-runtime-only
    dpkg-deb -x "$(deb_of libpci-5c3a0 "$arch")" "$runtime"
    check_unversioned "$runtime/usr" "$libdir" "$arch" "runtime package"
    check_examples "$tree" "$libdir" "$arch" "package" "$tree/share/doc/libpci-5c3a-dev/examples"
    [ "$arch" != amd64 ] || check_python "$tree" "$libdir"
    wait $looptest
    out=$(cat "$work/$arch-looptest.txt")
    case $out in
    *"test ok!!"*"status 1") ok "$arch package: test5C3A passes on the virtual card through with-virtual-card" ;;
    *) fail "$arch package: test5C3A passes on the virtual card through with-virtual-card" "$out" ;;
    esac
done

# dpkg itself, in a root of its own, installs the amd64 and i386 libraries
# side by side (it refuses shared paths whose contents differ).
check_dpkg_install() {
    local dpkgroot=$work/dpkg-root pair list=() out
    mkdir -p "$dpkgroot/var/lib/dpkg/info" "$dpkgroot/var/lib/dpkg/updates"
    touch "$dpkgroot/var/lib/dpkg/status"
    for pair in libpci-5c3a0:amd64 libpci-5c3a0:i386 libpci-5c3a-dev:amd64 libpci-5c3a-dev:i386 \
        libpci-5c3a-vcard:amd64 libpci-5c3a-vcard:i386 pci-5c3a-tools:amd64 pci-5c3a-vcard:all \
        python3-pci5c3a:all; do
        list+=("$(deb_of "${pair%%:*}" "${pair#*:}")")
    done
    out=$(dpkg --root="$dpkgroot" --add-architecture i386 2>&1 &&
        dpkg --root="$dpkgroot" --force-depends --force-script-chrootless -i "${list[@]}" 2>&1)
    if [ "$(dpkg --root="$dpkgroot" -l 2>/dev/null | grep -c '^ii ')" = 9 ]; then
        ok "dpkg installs the amd64 and i386 packages side by side"
    else
        fail "dpkg installs the amd64 and i386 packages side by side" "$out"
    fi
}

# The kernel driver's DKMS package: its fields and files, and DKMS building
# the module from the unpacked source for the test guests' kernel (Debian's
# 6.1, headers fetched and unpacked, never installed), as its postinst
# would for an installed kernel.
check_dkms() {
    local deb droot=$work/dkms-root tree=$work/dkms-tree kdir release ko out
    deb=$(deb_of pci5c3a-dkms all) || { fail "pci5c3a-dkms built"; return; }
    same "pci5c3a-dkms fields" "pci5c3a-dkms $deb_version all kernel dkms (>= 3), python3" \
        "$(dpkg-deb -f "$deb" Package Version Architecture Section Depends | sed 's/^[^:]*: //' | tr '\n' ' ' | sed 's/ $//')"
    dpkg-deb -x "$deb" "$droot"
    local f missing=""
    for f in usr/src/pci5c3a-$version/dkms.conf usr/src/pci5c3a-$version/Kbuild usr/src/pci5c3a-$version/Makefile \
        usr/src/pci5c3a-$version/board.c usr/src/pci5c3a-$version/chip.c usr/src/pci5c3a-$version/chardev.c \
        usr/src/pci5c3a-$version/notify.c usr/src/pci5c3a-$version/pci5c3a.h usr/src/pci5c3a-$version/compat.h \
        usr/src/pci5c3a-$version/netdev.c usr/src/pci5c3a-$version/errframe.h \
        usr/src/pci5c3a-$version/lib/pci_5C3A_ioctl.h \
        usr/src/pci5c3a-$version/lib/sja1000.h usr/src/pci5c3a-$version/lib/pci_5C3A.h \
        usr/lib/udev/rules.d/60-pci5c3a.rules etc/modprobe.d/pci5c3a.conf usr/share/man/man4/pci5c3a.4.gz \
        usr/share/doc/pci5c3a-dkms/copyright usr/sbin/pci5c3a-find-layout \
        usr/share/pci5c3a-dkms/pci5c3a_layouts.py usr/share/man/man8/pci5c3a-find-layout.8.gz; do
        [ -f "$droot/$f" ] || missing+=" $f"
    done
    same "pci5c3a-dkms: source, dkms.conf, udev rule, modprobe.d example, man pages, layout finder" "" "$missing"
    # Installed, the finder finds its constants module in the package's own directory.
    check "pci5c3a-dkms: pci5c3a-find-layout --help runs from the unpacked package" \
        env -u PYTHONPATH /usr/bin/python3 "$droot/usr/sbin/pci5c3a-find-layout" --help
    same "pci5c3a-dkms: the modprobe.d example is a conffile, every option commented" \
        "/etc/modprobe.d/pci5c3a.conf 0" \
        "$(dpkg-deb -I "$deb" conffiles) $(grep -c '^[[:space:]]*[^#[:space:]]' "$droot/etc/modprobe.d/pci5c3a.conf")"
    same "pci5c3a-dkms: dkms.conf names this version" "PACKAGE_VERSION=\"$version\"" \
        "$(grep '^PACKAGE_VERSION=' "$droot/usr/src/pci5c3a-$version/dkms.conf")"
    same "pci5c3a-dkms: the devices go to dialout, mode 0660" "1" \
        "$(grep -c 'KERNEL=="PCI5C3AW\[0-3\]", GROUP="dialout", MODE="0660"' "$droot/usr/lib/udev/rules.d/60-pci5c3a.rules")"
    check "pci5c3a-dkms: postinst and prerm are valid sh" \
        sh -c "dpkg-deb --ctrl-tarfile '$deb' | tar -xO ./postinst | sh -n && dpkg-deb --ctrl-tarfile '$deb' | tar -xO ./prerm | sh -n"
    if ! kdir=$("$root/scripts/fetch-kernel-headers" 6.1 2>"$work/headers.log"); then
        fail "pci5c3a-dkms: kernel headers for the guests' kernel" "$(cat "$work/headers.log")"
        return
    fi
    release=$(basename "$kdir" | sed 's/^linux-headers-//')
    mkdir -p "$tree"
    if out=$(dkms build -m pci5c3a -v "$version" -k "$release" --sourcetree "$droot/usr/src" --dkmstree "$tree" \
        --kernelsourcedir "$kdir" 2>&1); then
        ko=$(find "$tree/pci5c3a/$version/$release" -name 'pci5c3a.ko*' | head -n 1)
        case "$(modinfo -F license "$ko" 2>/dev/null) $(modinfo -F vermagic "$ko" 2>/dev/null)" in
        "Dual MIT/GPL $release "*) ok "pci5c3a-dkms: dkms build for $release" ;;
        *) fail "pci5c3a-dkms: dkms build for $release" "module: ${ko:-none}; $(modinfo "$ko" 2>&1 | head -n 5)" ;;
        esac
    else
        fail "pci5c3a-dkms: dkms build for $release" "$out
$(tail -n 20 "$tree/pci5c3a/$version/build/make.log" 2>/dev/null)"
    fi
}

# A 64-bit project must not take the i386 CMake package (the version file
# compares the word size), and the reverse.
check_word_size() {
    local dir=$work/word-size out
    mkdir -p "$dir"
    printf 'cmake_minimum_required(VERSION 3.16)\nproject(w C)\nfind_package(pci_5C3A QUIET)\nmessage(STATUS "found=${pci_5C3A_FOUND}")\n' \
        >"$dir/CMakeLists.txt"
    out=$(cmake -S "$dir" -B "$dir/b64" -DCMAKE_PREFIX_PATH="$work/i386-root/usr" \
        -DCMAKE_LIBRARY_ARCHITECTURE=i386-linux-gnu -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF 2>&1)
    same "a 64-bit project does not take the i386 CMake package" "-- found=0" "$(grep -- '-- found=' <<<"$out")"
    out=$(cmake -S "$dir" -B "$dir/b32" -DCMAKE_C_FLAGS=-m32 -DCMAKE_PREFIX_PATH="$work/amd64-root/usr" \
        -DCMAKE_LIBRARY_ARCHITECTURE=x86_64-linux-gnu -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF 2>&1)
    same "a 32-bit project does not take the amd64 CMake package" "-- found=0" "$(grep -- '-- found=' <<<"$out")"
}

if [ "${shared:-}" = 1 ]; then
    # The packages' trees that the word-size check reads.
    for arch in amd64 i386; do
        for pair in $(packages_of "$arch"); do
            deb=$(deb_of "${pair%%:*}" "${pair#*:}") && dpkg-deb -x "$deb" "$work/$arch-root" ||
                fail "$arch: package ${pair%%:*} unpacks"
        done
    done
fi
if [ ${#arches[@]} -eq 2 ] || [ "${shared:-}" = 1 ]; then
    check_word_size
    check_coinstallable
    check_dpkg_install
    check_dkms
    check_lintian
fi

echo "install: $passed passed, $failed failed"
[ $failed -eq 0 ]
