/* SPDX-License-Identifier: MIT */
/*
 * conio.h - single-key input from the console for the loop-back test.
 *
 * Standard input's terminal is switched into a raw single-byte mode only for
 * the duration of one read and put back before the function returns. Any
 * failure of the terminal or of the read ends the process:
 *   1  the settings cannot be read (standard input is not a terminal)
 *   2  raw mode cannot be applied
 *   3  the read fails
 *   4  end of file during getch
 *   5  the saved settings cannot be applied again
 */
#ifndef CONIO_H
#define CONIO_H

#include <termio.h>

/* Waits for one key and returns its byte, sign-extended (-128..127). */
int getch(void);

/* Returns 1 and stores the byte in *key when a key arrives within 0.1 s;
 * returns 0 and leaves *key untouched otherwise. */
int kb_hit(char *key);

/* Applies saved terminal settings to standard input. */
void restore(const struct termio *saved);

#endif /* CONIO_H */
