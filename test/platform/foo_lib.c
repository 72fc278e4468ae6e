/* A tiny library for the library-loading tests. FOO_ANSWER tells the copies apart. */
#ifndef FOO_ANSWER
#define FOO_ANSWER 42
#endif

__attribute__((visibility("default"))) int foo_answer(void) {
    return FOO_ANSWER;
}

__attribute__((visibility("default"))) int foo_add(int a, int b) {
    return a + b;
}
