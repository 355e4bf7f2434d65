/* Built with pkg-config: verifies the address given through the C interface
 * and prints returnvar. */
#include <verimex/verimex.h>

#include <stdio.h>

int main(int argc, char **argv)
{
    verimex_t *v = NULL;
    const char *result = NULL;
    if (argc != 2) {
        fputs("usage: pkg_config_host ADDRESS\n", stderr);
        return 2;
    }
    if (verimex_create(&v) != VERIMEX_OK) {
        fprintf(stderr, "pkg_config_host: %s\n", verimex_error(NULL));
        return 1;
    }
    verimex_set_email(v, argv[1]);
    verimex_set_from(v, "pkg-config-host.test");
    verimex_set_timeout(v, 5);
    if (verimex_check(v) != VERIMEX_OK || verimex_get_returnvar(v, &result, NULL) != VERIMEX_OK) {
        fprintf(stderr, "pkg_config_host: %s\n", verimex_error(v));
        verimex_destroy(v);
        return 1;
    }
    puts(result);
    verimex_destroy(v);
    return 0;
}
