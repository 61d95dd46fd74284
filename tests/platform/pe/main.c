/* The smallest program; the tests only read the version resource linked into it. */
int main(void) { return 0; }
