// Dense matrices and the weighted linear least-squares solver.
//
// In: a data vector y, weights w and a design matrix A (one row per
// coefficient, one column per point).
// Out: the coefficients x minimising sum_j w_j (y_j - sum_i A_ij x_i)^2, their
// standard deviations and the weighted residual figure.
// Failure: a singular normal matrix (a pivot below 1e-30) returns -1 and
// leaves the outputs partly transformed.
// All arithmetic is double precision in a fixed order, so results are
// reproducible to the last bit; both forms of the fit share the elimination.
#pragma once

#include <cmath>
#include <cstdint>
#include <utility>

// Dense row-major matrix of doubles; a vector is a one-row matrix. A plain
// value: the caller owns `data` and releases it with free_matrix.
struct Matrix {
    int32_t rows;
    int32_t cols;  // also the row stride: element (i, j) is data[i * cols + j]
    double* data;
};

// Sets rows and cols and allocates rows x cols zero-filled doubles into `data`;
// on failure (or a negative size) `data` is null.
void alloc_matrix(Matrix* matrix, int32_t rows, int32_t cols);

// Releases `data` and sets rows, cols and data to zero; harmless when data is null.
void free_matrix(Matrix* matrix);

// Owns one Matrix for the span of a scope.
struct MatrixHolder {
    Matrix m{0, 0, nullptr};
    MatrixHolder() = default;
    MatrixHolder(int32_t rows, int32_t cols) { alloc_matrix(&m, rows, cols); }
    MatrixHolder(const MatrixHolder&) = delete;
    MatrixHolder& operator=(const MatrixHolder&) = delete;
    ~MatrixHolder() { free_matrix(&m); }
};

// Weighted linear least squares with m = param_count coefficients and
// n = point_count points: solves (A W A^T) x = A W y by Gauss-Jordan
// elimination with full pivoting. On success returns 0, `solution` holds x,
// the diagonal of `normal` the standard deviations and *chi2 the weighted
// residual sum (divided by n - m when they differ). Returns -1 when the normal
// matrix is singular (outputs partly transformed, chi2 not written).
int32_t lst_sqr(int32_t param_count, int32_t point_count, const Matrix& values,
                const Matrix& weights, const Matrix& design, Matrix& solution, Matrix& normal,
                Matrix& weighted_design, Matrix& pivot_flags, double* chi2);

// Gauss-Jordan elimination with full pivoting of the m x m matrix `normal`
// (accessed as normal(i, k)) with right-hand side x, leaving the inverse in
// place and the solution in x. Returns -1 when the largest remaining pivot is
// below 1e-30. Columns are not re-ordered after row exchanges.
template <class Normal>
int32_t gauss_jordan(int m, Normal&& normal, double* x, double* flags) {
    for (int i = 0; i < m; ++i) flags[i] = 0.0;
    for (int pass = 0; pass < m; ++pass) {
        double largest = 0.0;
        int row = 0;
        int col = 0;
        for (int j = 0; j < m; ++j) {
            if (flags[j] != 0.0) continue;
            for (int k = 0; k < m; ++k) {
                if (flags[k] != 0.0) continue;
                if (std::fabs(normal(j, k)) > largest) {
                    largest = std::fabs(normal(j, k));
                    row = j;
                    col = k;
                }
            }
        }
        if (largest < 1e-30) return -1;
        flags[col] += 1.0;
        if (row != col) {
            for (int l = 0; l < m; ++l) std::swap(normal(row, l), normal(col, l));
            std::swap(x[row], x[col]);
        }
        // Division by the pivot, not multiplication by its reciprocal: the
        // two differ in the last bit.
        const double pivot = normal(col, col);
        normal(col, col) = 1.0;
        for (int l = 0; l < m; ++l) normal(col, l) /= pivot;
        x[col] /= pivot;
        for (int r = 0; r < m; ++r) {
            if (r == col) continue;
            const double factor = normal(r, col);
            normal(r, col) = 0.0;
            for (int l = 0; l < m; ++l) normal(r, l) -= normal(col, l) * factor;
            x[r] -= x[col] * factor;
        }
    }
    return 0;
}

// The standard deviations from the inverse's diagonal and the residual
// figure: element (i, i) becomes sqrt(|element * figure|).
template <class Normal>
void deviations_from_inverse(int m, Normal&& normal, double figure) {
    for (int i = 0; i < m; ++i) normal(i, i) = std::sqrt(std::fabs(normal(i, i) * figure));
}
