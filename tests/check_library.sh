#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The shared library as the dynamic loader and existing applications see it:
# exactly the API's names exported, and nothing needed beyond libc and libm.
set -euo pipefail
lib=$1
fail=0

expected="CanClearOverrun CanClearRxBuffer CanClearTxBuffer CanCloseDriver CanConfigPort
CanDetectBaudrate CanDisableReceive CanEnableReceive CanGetArbitrationLostBit CanGetErrorCode
CanGetErrorWarningLimit CanGetIntStatusReg CanGetLedStatus CanGetPortStatus CanGetRcvCnt
CanGetReceiveEvent CanGetRxErrorCount CanGetTxErrorCount CanOpenDriver CanRcvMsg CanSendMsg
CanSetErrorWarningLimit CanSetLedStatus CanSetTxErrorCount CanStopReceiveEvent GetDriverVersion
LEDStatus LED_ADDR_START _5C3A_InstallPCI _5C3A_Read _5C3A_Write canIntStatus initFlag
majorVersion minorVersion pci_Info_5C3A portStruct totalCards InstallRef"

# Defined (section index not UND), global or weak, any type.
exported=$(readelf -W --dyn-syms "$lib" | awk '$7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") {print $8}' | sort)
want=$(tr ' ' '\n' <<<"$expected" | sed '/^$/d' | sort)
if [ "$exported" != "$want" ]; then
    echo "exported symbols differ from the API:"
    diff <(echo "$want") <(echo "$exported") || true
    fail=1
fi
[ "$(wc -l <<<"$exported")" -eq 39 ] || { echo "expected 39 exported names"; fail=1; }

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort)
for n in $needed; do
    case "$n" in
        libc.so.6|libm.so.6) ;;
        libasan.so.*|libubsan.so.*) [ "${PCI5C3A_SANITIZE:-OFF}" = ON ] || { echo "unexpected NEEDED $n"; fail=1; } ;;
        *) echo "unexpected NEEDED $n"; fail=1 ;;
    esac
done

# A sanitizer build must really carry the sanitizers, or its run proves nothing.
if [ "${PCI5C3A_SANITIZE:-OFF}" = ON ]; then
    for n in libasan.so libubsan.so; do
        grep -q "^$n" <<<"$needed" || { echo "sanitizer build without $n"; fail=1; }
    done
fi

# Sizes of the exported tables, as the application's copy relocations expect.
sizes=$(readelf -W --dyn-syms "$lib" | awk '$4 == "OBJECT" && $7 != "UND" {print $8, $3}' | sort)
case "$(readelf -h "$lib" | awk '/Class:/ {print $2}')" in
    ELF32) info=1152 ;;
    *) info=1248 ;;
esac
want_sizes=$(sort <<EOS
InstallRef 32
LEDStatus 4
LED_ADDR_START 4
canIntStatus 8
initFlag 4
majorVersion 2
minorVersion 2
pci_Info_5C3A $info
portStruct 192
totalCards 4
EOS
)
if [ "$sizes" != "$want_sizes" ]; then
    echo "exported table sizes differ:"
    diff <(echo "$want_sizes") <(echo "$sizes") || true
    fail=1
fi
exit $fail
