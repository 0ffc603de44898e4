// Matrix container and the weighted least-squares solver of the analysis.
//
// Expected values are worked by hand; where the last bit matters they were
// computed in python3 (IEEE doubles) following the solver's order of
// operations: right-hand side, the full square normal matrix summed over the
// points in increasing order, full pivoting in row-major order with a strict
// comparison, division by the pivot, residual sum, sd = sqrt(|inv_ii * chi2|).

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/solver.h"
#include "core/conversions.h"

namespace {

constexpr double kUnwritten = -12345.0;  // chi2 sentinel: proves a failed fit leaves it alone
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Storage for one call of lst_sqr. Each matrix may be wider than the call
// uses: padding columns hold NaN, so a solver that ignored `cols` as the
// stride, or read past n or m, would poison its results.
struct Problem {
    int m;
    int n;
    MatrixHolder values;
    MatrixHolder weights;
    MatrixHolder design;
    MatrixHolder solution;
    MatrixHolder normal;
    MatrixHolder weighted_design;
    MatrixHolder pivot_flags;
    double chi2 = kUnwritten;

    Problem(int params, int points, int padding = 0)
        : m(params),
          n(points),
          values(1, points + padding),
          weights(1, points + padding),
          design(params, points + padding),
          solution(1, params + padding),
          normal(params, params + padding),
          weighted_design(params, points + padding),
          pivot_flags(1, params + padding) {
        for (MatrixHolder* h : {&values, &weights, &design, &solution, &normal, &weighted_design,
                                &pivot_flags}) {
            const int size = h->m.rows * h->m.cols;
            for (int i = 0; i < size; ++i) h->m.data[i] = kNaN;
        }
    }

    void set_point(int j, double y, double w) {
        values.m.data[j] = y;
        weights.m.data[j] = w;
    }
    double& a(int i, int j) { return design.m.data[i * design.m.cols + j]; }
    double inverse(int i, int k) const { return normal.m.data[i * normal.m.cols + k]; }
    double x(int i) const { return solution.m.data[i]; }

    int32_t solve() {
        return lst_sqr(m, n, values.m, weights.m, design.m, solution.m, normal.m, weighted_design.m,
                       pivot_flags.m, &chi2);
    }
};

// ---------------------------------------------------------------------------

TEST(AllocMatrix, StoresShapeAndZeroFillsEveryElement) {
    Matrix matrix{7, 7, nullptr};
    alloc_matrix(&matrix, 3, 5);
    ASSERT_NE(matrix.data, nullptr);
    EXPECT_EQ(matrix.rows, 3);
    EXPECT_EQ(matrix.cols, 5);
    for (int i = 0; i < 15; ++i) EXPECT_EQ(matrix.data[i], 0.0) << "element " << i;
    free_matrix(&matrix);
    EXPECT_EQ(matrix.rows, 0);
    EXPECT_EQ(matrix.cols, 0);
    EXPECT_EQ(matrix.data, nullptr);
    // Releasing an already released descriptor must be harmless.
    free_matrix(&matrix);
    EXPECT_EQ(matrix.data, nullptr);
}

TEST(AllocMatrix, NegativeSizeLeavesDataNull) {
    Matrix matrix{0, 0, nullptr};
    alloc_matrix(&matrix, -1, 4);
    EXPECT_EQ(matrix.data, nullptr);
    free_matrix(&matrix);
    EXPECT_EQ(matrix.data, nullptr);
}

// ---------------------------------------------------------------------------

// m = n: y = A^T x with A = [[2, 1], [1, 3]] and x = (3, -2) gives y = (4, -3).
// The normal matrix [[5, 5], [5, 10]] has the inverse [[0.4, -0.2], [-0.2, 0.2]];
// every intermediate is exact, so the residual and the deviations are exactly
// 0, and the figure is left undivided (dividing by n - m = 0 would give NaN).
TEST(LstSqr, SquareSystemIsSolvedExactlyAndFigureIsLeftUndivided) {
    Problem p(2, 2);
    p.a(0, 0) = 2.0;
    p.a(0, 1) = 1.0;
    p.a(1, 0) = 1.0;
    p.a(1, 1) = 3.0;
    p.set_point(0, 4.0, 1.0);
    p.set_point(1, -3.0, 1.0);
    ASSERT_EQ(p.solve(), 0);
    EXPECT_EQ(p.x(0), 3.0);
    EXPECT_EQ(p.x(1), -2.0);
    EXPECT_EQ(p.chi2, 0.0);
    EXPECT_EQ(p.inverse(0, 0), 0.0);  // sqrt(|0.4 * 0|)
    EXPECT_EQ(p.inverse(1, 1), 0.0);
    EXPECT_EQ(p.inverse(0, 1), -0.2);  // off-diagonal keeps the unscaled inverse
    EXPECT_EQ(p.inverse(1, 0), -0.2);
}

// m = 0: no elimination; the figure is sum (sqrt(w) y)^2 / n.
// (sqrt(2) 1.5)^2 + (sqrt(0.5) (-4))^2 + (sqrt(3) 0.1)^2, summed in that
// order and divided by 3, is 4.176666666666668 in doubles.
TEST(LstSqr, NoParametersGivesWeightedMeanSquare) {
    Problem p(0, 3);
    p.set_point(0, 1.5, 2.0);
    p.set_point(1, -4.0, 0.5);
    p.set_point(2, 0.1, 3.0);
    ASSERT_EQ(p.solve(), 0);
    EXPECT_EQ(p.chi2, 4.176666666666668);
}

// n = 0: the normal matrix is all zeros, the first pivot search finds
// nothing above 1e-30.
TEST(LstSqr, NoPointsIsSingularAndLeavesChi2Unwritten) {
    Problem p(2, 0, 1);
    EXPECT_EQ(p.solve(), -1);
    EXPECT_EQ(p.chi2, kUnwritten);
}

// One basis vector (1, 1, 1), y = (2, 4, 100), w = (1, 1, 0): the third point
// takes no part, so x = (2 + 4) / 2 = 3, the residual sum is 1 + 1 = 2, and
// it is divided by n - m = 2 (the zero-weight point still counts): chi2 = 1.
// sd = sqrt(|(1/2) * 1|).
TEST(LstSqr, ZeroWeightPointIsIgnoredButCountsInDegreesOfFreedom) {
    Problem p(1, 3);
    for (int j = 0; j < 3; ++j) p.a(0, j) = 1.0;
    p.set_point(0, 2.0, 1.0);
    p.set_point(1, 4.0, 1.0);
    p.set_point(2, 100.0, 0.0);
    ASSERT_EQ(p.solve(), 0);
    EXPECT_EQ(p.x(0), 3.0);
    EXPECT_EQ(p.chi2, 1.0);
    EXPECT_EQ(p.inverse(0, 0), std::sqrt(0.5));
}

// Identical rows (1, 2, 3): the normal matrix is [[14, 14], [14, 14]]. The
// first pass pivots on (0, 0), the first of equal magnitudes in row-major
// order, which leaves a zero candidate for the second pass.
TEST(LstSqr, IdenticalBasisRowsFailAfterTheFirstPivot) {
    Problem p(2, 3);
    for (int j = 0; j < 3; ++j) {
        p.a(0, j) = j + 1.0;
        p.a(1, j) = j + 1.0;
        p.set_point(j, 5.0 * j, 1.0);
    }
    EXPECT_EQ(p.solve(), -1);
    EXPECT_EQ(p.chi2, kUnwritten);
    EXPECT_EQ(p.pivot_flags.m.data[0], 1.0);
    EXPECT_EQ(p.pivot_flags.m.data[1], 0.0);
    EXPECT_EQ(p.inverse(1, 1), 0.0);  // 14 - 1 * 14
}

// Disjoint supports make the normal matrix diagonal:
// x0 = (1*1*3 + 2*2*5) / (1*1 + 2*2*2) = 23/9, x1 = (3*0.5*7 + 1*4*2) / (3*3*0.5 + 1*4) = 18.5/8.5.
// Residual sum of the four points over n - m = 2 and sd_i = sqrt(|chi2 / normal_ii|)
// are computed in python3 from these closed forms.
TEST(LstSqr, DisjointSupportsGiveTheClosedFormula) {
    Problem p(2, 4);
    const double a0[4] = {1.0, 2.0, 0.0, 0.0};
    const double a1[4] = {0.0, 0.0, 3.0, 1.0};
    const double y[4] = {3.0, 5.0, 7.0, 2.0};
    const double w[4] = {1.0, 2.0, 0.5, 4.0};
    for (int j = 0; j < 4; ++j) {
        p.a(0, j) = a0[j];
        p.a(1, j) = a1[j];
        p.set_point(j, y[j], w[j]);
    }
    ASSERT_EQ(p.solve(), 0);
    EXPECT_EQ(p.x(0), 23.0 / 9.0);
    EXPECT_EQ(p.x(1), 18.5 / 8.5);
    EXPECT_DOUBLE_EQ(p.chi2, 0.22875816993464043);
    EXPECT_DOUBLE_EQ(p.inverse(0, 0), 0.1594289008843198);
    EXPECT_DOUBLE_EQ(p.inverse(1, 1), 0.16405098559491674);
    EXPECT_EQ(p.inverse(0, 1), 0.0);
    EXPECT_EQ(p.inverse(1, 0), 0.0);
}

// A general 2 x 4 fit, to the last bit. The numbers were picked so that the
// result changes if the lower triangle of the normal matrix is copied from the
// upper one (x = 3.1376788760919787, ...) or if the pivot row is multiplied
// by the reciprocal of the pivot (x = 3.137678876091983, ...). Every matrix is
// wider than used (padded with NaN) to prove that `cols` is the stride.
TEST(LstSqr, GeneralFitMatchesTheOperationOrderToTheLastBit) {
    Problem p(2, 4, 2);
    const double a0[4] = {6.23, 8.97, 1.54, 0.53};
    const double a1[4] = {8.88, 4.85, 3.71, 2.21};
    const double w[4] = {1.82, 2.5, 1.42, 1.32};
    const double y[4] = {-3.61, 17.9, -4.18, 7.34};
    for (int j = 0; j < 4; ++j) {
        p.a(0, j) = a0[j];
        p.a(1, j) = a1[j];
        p.set_point(j, y[j], w[j]);
    }
    ASSERT_EQ(p.solve(), 0);
    EXPECT_EQ(p.x(0), 3.1376788760919814);
    EXPECT_EQ(p.x(1), -2.3187551332222207);
    EXPECT_EQ(p.chi2, 84.37231302992174);
    EXPECT_EQ(p.inverse(0, 0), 1.1370597513760525);
    EXPECT_EQ(p.inverse(0, 1), -0.01470591313619529);
    EXPECT_EQ(p.inverse(1, 0), -0.014705913136195297);
    EXPECT_EQ(p.inverse(1, 1), 1.2491145963109984);
    // The weighted design is A w; the inputs stay as they were.
    EXPECT_EQ(p.weighted_design.m.data[1], 8.97 * 2.5);
    EXPECT_EQ(p.weighted_design.m.data[p.weighted_design.m.cols + 3], 2.21 * 1.32);
    for (int j = 0; j < 4; ++j) {
        EXPECT_EQ(p.a(0, j), a0[j]);
        EXPECT_EQ(p.a(1, j), a1[j]);
        EXPECT_EQ(p.values.m.data[j], y[j]);
        EXPECT_EQ(p.weights.m.data[j], w[j]);
    }
}

// Only an indefinite normal matrix puts the largest candidate off the
// diagonal: points (1, 1) with w = 2 and (1, -1) with w = -1 give
// [[1, 3], [3, 1]]. The first pivot is (0, 1), so rows 0 and 1 are exchanged.
// The solution of [[1, 3], [3, 1]] x = (1, 17) (from y = (7, -3)) is (2, 5).
// The inverse is that of the row-exchanged matrix, columns not re-ordered:
// off-diagonal -1/8 (the true inverse has 3/8 there). sqrt(-1) makes the
// residual sum, and so every deviation, NaN.
TEST(LstSqr, OffDiagonalPivotExchangesRowsAndLeavesTheInverseUnordered) {
    Problem p(2, 2);
    p.a(0, 0) = 1.0;
    p.a(0, 1) = 1.0;
    p.a(1, 0) = 1.0;
    p.a(1, 1) = -1.0;
    p.set_point(0, 7.0, 2.0);
    p.set_point(1, -3.0, -1.0);
    ASSERT_EQ(p.solve(), 0);
    EXPECT_EQ(p.x(0), 2.0);
    EXPECT_EQ(p.x(1), 5.0);
    EXPECT_EQ(p.inverse(0, 1), -0.125);
    EXPECT_EQ(p.inverse(1, 0), -0.125);
    EXPECT_TRUE(std::isnan(p.chi2));
    EXPECT_TRUE(std::isnan(p.inverse(0, 0)));
    EXPECT_TRUE(std::isnan(p.inverse(1, 1)));
    EXPECT_EQ(p.pivot_flags.m.data[0], 1.0);
    EXPECT_EQ(p.pivot_flags.m.data[1], 1.0);
}

// The pivot flags are cleared by the solver itself: a stale flag from an
// earlier call must not exclude a column.
TEST(LstSqr, ClearsPivotFlagsLeftByAnEarlierCall) {
    Problem p(1, 2);
    p.pivot_flags.m.data[0] = 1.0;
    p.a(0, 0) = 2.0;
    p.a(0, 1) = 2.0;
    p.set_point(0, 4.0, 1.0);
    p.set_point(1, 8.0, 1.0);
    ASSERT_EQ(p.solve(), 0);
    // x = (2*4 + 2*8) / (2*2 + 2*2) = 3; residuals -2 and 2: chi2 = 8 / 1.
    EXPECT_EQ(p.x(0), 3.0);
    EXPECT_EQ(p.chi2, 8.0);
    EXPECT_EQ(p.inverse(0, 0), std::sqrt(1.0));  // sqrt(|1/8 * 8|)
}

}  // namespace
