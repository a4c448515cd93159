#pragma once

// The columns of a data-driven test in one line each side, as type/name pairs:
//   COLUMNS(QString, text, int, count) in foo_data(), FETCH(QString, text, int, count) in foo().
// A type holding a comma needs an alias (using Ints = QList<int>). The same macros as Columns.h.
#include <QtTest>

#ifndef COLUMNS
#define INK_ROW_ADD(T, name) QTest::addColumn<T>(#name);
#define INK_ROW_FETCH(T, name) QFETCH(T, name);
#define INK_ROWS_1(M, T, n) M(T, n)
#define INK_ROWS_2(M, T, n, ...) M(T, n) INK_ROWS_1(M, __VA_ARGS__)
#define INK_ROWS_3(M, T, n, ...) M(T, n) INK_ROWS_2(M, __VA_ARGS__)
#define INK_ROWS_4(M, T, n, ...) M(T, n) INK_ROWS_3(M, __VA_ARGS__)
#define INK_ROWS_5(M, T, n, ...) M(T, n) INK_ROWS_4(M, __VA_ARGS__)
#define INK_ROWS_6(M, T, n, ...) M(T, n) INK_ROWS_5(M, __VA_ARGS__)
#define INK_ROWS_7(M, T, n, ...) M(T, n) INK_ROWS_6(M, __VA_ARGS__)
#define INK_ROWS_8(M, T, n, ...) M(T, n) INK_ROWS_7(M, __VA_ARGS__)
// The number of pairs among up to eight: an odd count of arguments finds no pair count and fails.
#define INK_ROWS_COUNT_(a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16, n, ...) n
#define INK_ROWS_COUNT(...) INK_ROWS_COUNT_(__VA_ARGS__, 8, odd, 7, odd, 6, odd, 5, odd, 4, odd, 3, odd, 2, odd, 1, odd)
#define INK_ROWS_CAT_(a, b) a##b
#define INK_ROWS_CAT(a, b) INK_ROWS_CAT_(a, b)
#define INK_ROWS(M, ...) INK_ROWS_CAT(INK_ROWS_, INK_ROWS_COUNT(__VA_ARGS__))(M, __VA_ARGS__)
#define COLUMNS(...) INK_ROWS(INK_ROW_ADD, __VA_ARGS__)
#define FETCH(...) INK_ROWS(INK_ROW_FETCH, __VA_ARGS__)
#endif
