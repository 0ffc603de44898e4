#include "analysis/solver.h"

#include <new>

void alloc_matrix(Matrix* matrix, int32_t rows, int32_t cols) {
    matrix->rows = rows;
    matrix->cols = cols;
    matrix->data = nullptr;
    if (rows < 0 || cols < 0) return;
    matrix->data = new (std::nothrow) double[static_cast<size_t>(rows) * static_cast<size_t>(cols)]();
}

void free_matrix(Matrix* matrix) {
    matrix->rows = 0;
    matrix->cols = 0;
    delete[] matrix->data;
    matrix->data = nullptr;
}

int32_t lst_sqr(int32_t param_count, int32_t point_count, const Matrix& values,
                const Matrix& weights, const Matrix& design, Matrix& solution, Matrix& normal,
                Matrix& weighted_design, Matrix& pivot_flags, double* chi2) {
    const int m = param_count;
    const int n = point_count;
    const double* y = values.data;
    const double* w = weights.data;
    double* x = solution.data;
    auto a = [&](int i, int j) { return design.data[i * design.cols + j]; };
    auto wa = [&](int i, int j) -> double& { return weighted_design.data[i * weighted_design.cols + j]; };
    auto nm = [&](int i, int k) -> double& { return normal.data[i * normal.cols + k]; };

    for (int i = 0; i < m; ++i) {
        x[i] = 0.0;
        for (int j = 0; j < n; ++j) {
            wa(i, j) = a(i, j) * w[j];
            x[i] += wa(i, j) * y[j];
        }
    }
    // The full square: (a_i w) a_k and (a_k w) a_i round differently, so the
    // lower triangle is not a copy of the upper one.
    for (int i = 0; i < m; ++i) {
        for (int k = 0; k < m; ++k) {
            double sum = 0.0;
            for (int j = 0; j < n; ++j) sum += wa(i, j) * a(k, j);
            nm(i, k) = sum;
        }
    }

    if (gauss_jordan(m, nm, x, pivot_flags.data) != 0) return -1;

    double sum = 0.0;
    for (int j = 0; j < n; ++j) {
        double fit = 0.0;
        for (int i = 0; i < m; ++i) fit += a(i, j) * x[i];
        const double term = std::sqrt(w[j]) * (y[j] - fit);
        sum += term * term;
    }
    if (m != n) sum /= static_cast<double>(n - m);
    deviations_from_inverse(m, nm, sum);
    *chi2 = sum;
    return 0;
}
