/* Compiled as strict C89 with pedantic warnings: proves that
 * include/verimex/verimex.h asks nothing of a C compiler beyond C89 and
 * <stdint.h>. The C test program calls it. */
#include "verimex/verimex.h"

int verimex_test_c89_version(void);

int verimex_test_c89_version(void)
{
    int number = 0;
    verimex_t *v = NULL;
    int16_t timeout = -1;
    int ok;
    verimex_version(&number);
    ok = number == VERIMEX_VERSION_NUM && verimex_create(&v) == VERIMEX_OK &&
         verimex_get_timeout(v, &timeout) == VERIMEX_OK && timeout == 0;
    verimex_destroy(v);
    return ok;
}
