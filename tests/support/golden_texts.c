/* The C reader of tests/golden/texts.tsv: one row looked up by name, its
 * escapes undone and its blank filled. Plain C99 and stdio, as a C host's
 * tests would have it. */
#include "golden_texts.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef VERIMEX_GOLDEN_TEXTS_FILE
#define VERIMEX_GOLDEN_TEXTS_FILE "tests/golden/texts.tsv"
#endif

enum { longest_row = 1024 };

/* Appends text[0..n) to out (of capacity longest_row); 0 when it would not fit. */
static int append(char *out, size_t *used, const char *text, size_t n)
{
    if (*used + n >= longest_row)
        return 0;
    memcpy(out + *used, text, n);
    *used += n;
    out[*used] = '\0';
    return 1;
}

/* The row's text (after the tab) with its escapes undone and its blank
 * filled, into out; 0 on a malformed row. */
static int render(const char *name, const char *form, const char *arg, char *out)
{
    size_t used = 0;
    int blanks = 0;
    const char *p;
    out[0] = '\0';
    for (p = form; *p != '\0' && *p != '\n' && *p != '\r'; ++p) {
        char c = *p;
        if (c == '{' && p[1] == '}') {
            if (arg == NULL || ++blanks > 1) {
                fprintf(stderr, "golden texts: %s has %s\n", name, arg == NULL ? "a blank and no arg" : "two blanks");
                return 0;
            }
            if (!append(out, &used, arg, strlen(arg)))
                return 0;
            ++p;
            continue;
        }
        if (c == '\\') {
            ++p;
            if (*p == 'r')
                c = '\r';
            else if (*p == 'n')
                c = '\n';
            else if (*p == '\\')
                c = '\\';
            else {
                fprintf(stderr, "golden texts: %s has an unknown escape\n", name);
                return 0;
            }
        }
        if (!append(out, &used, &c, 1))
            return 0;
    }
    return 1;
}

char *golden_text(const char *name, const char *arg)
{
    const char *path = getenv("VERIMEX_GOLDEN_TEXTS");
    char line[longest_row];
    char text[longest_row];
    size_t name_length = strlen(name);
    char *found = NULL;
    FILE *in;

    if (path == NULL || *path == '\0')
        path = VERIMEX_GOLDEN_TEXTS_FILE;
    in = fopen(path, "rb");
    if (in == NULL) {
        fprintf(stderr, "golden texts: cannot read %s\n", path);
        return NULL;
    }
    while (found == NULL && fgets(line, sizeof line, in) != NULL) {
        if (strncmp(line, name, name_length) != 0 || line[name_length] != '\t')
            continue;
        if (render(name, line + name_length + 1, arg, text)) {
            found = malloc(strlen(text) + 1);
            if (found != NULL)
                strcpy(found, text);
        }
        break;
    }
    fclose(in);
    if (found == NULL)
        fprintf(stderr, "golden texts: no usable row %s in %s\n", name, path);
    return found;
}
