/* The component's exact texts for the C tests, read from the one table of
 * literals, tests/golden/texts.tsv (its head says the format). */
#ifndef VERIMEX_TEST_GOLDEN_TEXTS_H
#define VERIMEX_TEST_GOLDEN_TEXTS_H

/* The text called name, its blank ("{}") filled with arg (NULL: none); a
 * new string the caller frees. NULL for an unknown name, a row with more
 * than one blank, a blank without arg, or a table that cannot be read;
 * the reason is on standard error. The table is VERIMEX_GOLDEN_TEXTS when
 * that is set, else the file the build named. */
char *golden_text(const char *name, const char *arg);

#endif
