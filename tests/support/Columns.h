#pragma once

// The columns of a data-driven test in one line each side, as type/name pairs:
//   COLUMNS(QString, text, int, count) in foo_data(), FETCH(QString, text, int, count) in foo().
// A type holding a comma needs an alias (using Ints = QList<int>).
#include <QtTest>

#define INK_COLUMN_ADD(T, name) QTest::addColumn<T>(#name);
#define INK_COLUMN_FETCH(T, name) QFETCH(T, name);

#define INK_PAIRS_1(M, T, n) M(T, n)
#define INK_PAIRS_2(M, T, n, ...) M(T, n) INK_PAIRS_1(M, __VA_ARGS__)
#define INK_PAIRS_3(M, T, n, ...) M(T, n) INK_PAIRS_2(M, __VA_ARGS__)
#define INK_PAIRS_4(M, T, n, ...) M(T, n) INK_PAIRS_3(M, __VA_ARGS__)
#define INK_PAIRS_5(M, T, n, ...) M(T, n) INK_PAIRS_4(M, __VA_ARGS__)
#define INK_PAIRS_6(M, T, n, ...) M(T, n) INK_PAIRS_5(M, __VA_ARGS__)
#define INK_PAIRS_7(M, T, n, ...) M(T, n) INK_PAIRS_6(M, __VA_ARGS__)
#define INK_PAIRS_8(M, T, n, ...) M(T, n) INK_PAIRS_7(M, __VA_ARGS__)
#define INK_PAIRS_9(M, T, n, ...) M(T, n) INK_PAIRS_8(M, __VA_ARGS__)
#define INK_PAIRS_10(M, T, n, ...) M(T, n) INK_PAIRS_9(M, __VA_ARGS__)

// The number of pairs among up to ten: an odd count of arguments finds no pair count and fails.
#define INK_PAIR_COUNT_(a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16, a17, a18, a19, a20, \
                        n, ...)                                                                                 \
    n
#define INK_PAIR_COUNT(...) \
    INK_PAIR_COUNT_(__VA_ARGS__, 10, odd, 9, odd, 8, odd, 7, odd, 6, odd, 5, odd, 4, odd, 3, odd, 2, odd, 1, odd)
#define INK_CAT_(a, b) a##b
#define INK_CAT(a, b) INK_CAT_(a, b)
#define INK_PAIRS(M, ...) INK_CAT(INK_PAIRS_, INK_PAIR_COUNT(__VA_ARGS__))(M, __VA_ARGS__)

#define COLUMNS(...) INK_PAIRS(INK_COLUMN_ADD, __VA_ARGS__)
#define FETCH(...) INK_PAIRS(INK_COLUMN_FETCH, __VA_ARGS__)
