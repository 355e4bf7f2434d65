/* The floor of starting a program: a statically linked program that does
 * nothing, started through the lookup runner as the helper is. */
int main(void)
{
    return 0;
}
