// P² estimator: the worked example, the cell rules at ties, the order of the
// marker adjustments, and invariants and accuracy on long streams.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "kestrovane/selection_core/quantiles/p2_quantile.hpp"

namespace {

struct Est {
    double q[5];
    std::int32_t npos[5];
    double ndes[5];
    double p;

    // Sorts the first five observations and starts the estimator on them.
    Est(double p_, double a, double b, double c, double d, double e) : q(), npos(), ndes(), p(p_) {
        double s[5] = {a, b, c, d, e};
        kestrovane::_sort5(s);
        kestrovane::_p2_init(q, npos, ndes, p, s[0], s[1], s[2], s[3], s[4]);
    }
    void add(double x) { kestrovane::_p2_update(q, npos, ndes, p, x); }
};

void check_q(const Est& e, std::initializer_list<double> want) {
    int j = 0;
    for (double w : want) CHECK_EQ(e.q[j++], w);
}
void check_npos(const Est& e, std::initializer_list<std::int32_t> want) {
    int j = 0;
    for (std::int32_t w : want) CHECK_EQ(e.npos[j++], w);
}
void check_ndes(const Est& e, std::initializer_list<double> want) {
    int j = 0;
    for (double w : want) CHECK_EQ(e.ndes[j++], w);
}

// Structural invariants with n observations seen; returns false on the first
// violation so long loops report once.
bool invariants_hold(const Est& e, std::int32_t n) {
    if (e.npos[0] != 1 || e.npos[4] != n) return false;
    if (e.ndes[0] != 1.0 || e.ndes[4] != static_cast<double>(n)) return false;
    for (int j = 0; j < 4; ++j) {
        if (e.npos[j + 1] - e.npos[j] < 1) return false;
        if (!(e.q[j] <= e.q[j + 1])) return false;
    }
    return true;
}

void test_sort5() {
    double a[5] = {3, 1, 2, 1, 0};
    kestrovane::_sort5(a);
    CHECK(a[0] == 0 && a[1] == 1 && a[2] == 1 && a[3] == 2 && a[4] == 3);

    // Equal keys keep their order: 0.0 and -0.0 compare equal but differ in bits.
    double z[5] = {1.0, -0.0, 0.0, -0.0, 0.0};
    kestrovane::_sort5(z);
    CHECK_BITS(z[0], kcheck::bits_of(-0.0));
    CHECK_BITS(z[1], kcheck::bits_of(0.0));
    CHECK_BITS(z[2], kcheck::bits_of(-0.0));
    CHECK_BITS(z[3], kcheck::bits_of(0.0));
    CHECK_EQ(z[4], 1.0);

    // Every permutation of five distinct values.
    int idx[5] = {0, 1, 2, 3, 4};
    bool all_sorted = true;
    do {
        double b[5];
        for (int i = 0; i < 5; ++i) b[i] = 10.0 * idx[i];
        kestrovane::_sort5(b);
        for (int i = 0; i < 5; ++i) all_sorted &= b[i] == 10.0 * i;
    } while (std::next_permutation(idx, idx + 5));
    CHECK(all_sorted);
}

void test_init() {
    // Unsorted input through _sort5; the estimate is the third smallest for
    // every p, and the desired positions are exact.
    Est e25(0.25, 9, 4, 7, 1, 5), e50(0.5, 9, 4, 7, 1, 5), e75(0.75, 9, 4, 7, 1, 5);
    for (const Est* e : {&e25, &e50, &e75}) {
        check_q(*e, {1, 4, 5, 7, 9});
        check_npos(*e, {1, 2, 3, 4, 5});
        CHECK_EQ(e->q[2], 5.0);
    }
    check_ndes(e25, {1, 1.5, 2, 3.5, 5});
    check_ndes(e50, {1, 2, 3, 4, 5});
    check_ndes(e75, {1, 2.5, 4, 4.5, 5});
}

void test_worked_example() {
    Est e(0.5, 1, 2, 3, 4, 5);
    e.add(6);
    check_q(e, {1, 2, 3, 4, 6});
    check_npos(e, {1, 2, 3, 4, 6});
    check_ndes(e, {1, 2.25, 3.5, 4.75, 6});
    e.add(7);
    // Marker 2 has d = 1 but no gap above; marker 3 moves by parabola to 5.
    check_q(e, {1, 2, 3, 5, 7});
    check_npos(e, {1, 2, 3, 5, 7});
    check_ndes(e, {1, 2.5, 4, 5.5, 7});
    CHECK_EQ(e.q[2], 3.0);
}

void test_cells() {
    {  // Below the minimum: new q[0], markers 1..4 shift up.
        Est e(0.5, 1, 2, 3, 4, 5);
        e.add(0);
        check_q(e, {0, 2, 3, 4, 5});
        check_npos(e, {1, 3, 4, 5, 6});
    }
    {  // Equal to the minimum: cell 0 all the same, q[0] kept.
        Est e(0.5, 1, 2, 3, 4, 5);
        e.add(1);
        check_q(e, {1, 2, 3, 4, 5});
        check_npos(e, {1, 3, 4, 5, 6});
    }
    {  // Equal to q[4]: last cell, height unchanged.
        Est e(0.5, 1, 2, 3, 4, 5);
        e.add(5);
        check_q(e, {1, 2, 3, 4, 5});
        check_npos(e, {1, 2, 3, 4, 6});
    }
    {  // q[1] = q[2] = 2 < q[3] = 4: an observation 2 lands in cell 2.
        Est e(0.5, 1, 2, 2, 4, 5);
        e.add(2);
        check_q(e, {1, 2, 2, 4, 5});
        check_npos(e, {1, 2, 3, 5, 6});
    }
    {  // Above a run of three equal heights: cell 3.
        Est e(0.5, 1, 2, 2, 2, 5);
        e.add(2);
        check_npos(e, {1, 2, 3, 4, 6});
    }
    {  // Strictly inside cell 1.
        Est e(0.5, 1, 2, 3, 4, 5);
        e.add(2.5);
        check_q(e, {1, 2, 3, 4, 5});
        check_npos(e, {1, 2, 4, 5, 6});
    }
    {  // NaN matches no cell: counted at the top, no height becomes NaN.
        Est e(0.5, 1, 2, 3, 4, 5);
        e.add(std::numeric_limits<double>::quiet_NaN());
        check_q(e, {1, 2, 3, 4, 5});
        CHECK(invariants_hold(e, 6));
    }
}

void test_move_at_exactly_one() {
    // d = 1 exactly is enough to move: marker 2 after two observations of 3.5
    // (cell 2), by parabola to 3 + (2/3 + 2) / 4.
    Est e(0.5, 1, 2, 3, 4, 5);
    e.add(3.5);
    check_npos(e, {1, 2, 3, 5, 6});
    e.add(3.5);
    check_q(e, {1, 2, 3.6666666666666665, 4, 5});
    check_npos(e, {1, 2, 4, 6, 7});
}

void test_adjustment_order() {
    // Two observations below the minimum move markers 1 and 2 down.  Marker 2
    // moves only because marker 1 has already left (gap 2), and its parabola
    // uses the new q[1] = 10 and npos[1] = 3: 30 - (1/3) * 30 = 20.
    Est e(0.5, 10, 20, 30, 40, 50);
    e.add(0);
    check_npos(e, {1, 3, 4, 5, 6});
    e.add(-10);
    check_q(e, {-10, 10, 20, 40, 50});
    check_npos(e, {1, 3, 4, 6, 7});
}

void test_blocked_down_move() {
    // Small p: marker 2 wants to go down (d = -1.5) but sits right above
    // marker 1, so it stays.
    Est e(0.1, 1, 2, 3, 4, 5);
    e.add(6);
    check_q(e, {1, 2, 3, 4, 6});
    check_npos(e, {1, 2, 3, 4, 6});
}

void test_parabola_rejection() {
    // p = 0.75: marker 3 moves up with gaps 1 below and 2 above over heights
    // 0, 2, 3; the parabola lands exactly on the neighbour (3), which the
    // strict test refuses, so the linear step gives 2 + 1/2.
    Est e(0.75, -2, -1, 0, 2, 2.5);
    e.add(3);
    check_q(e, {-2, -1, 0, 2.5, 3});
    check_npos(e, {1, 2, 3, 5, 6});
    check_ndes(e, {1, 2.875, 4.75, 5.375, 6});

    // Downward: after 0, 3.5, 3.5, 3.5 marker 2 rises to 3.7 and then
    // marker 3 moves down; its parabola (3.45) is below the new q[2], so the
    // linear step goes a third of the way to 3.7.
    Est d(0.5, 1, 2, 3, 4, 5);
    for (double x : {0.0, 3.5, 3.5, 3.5}) d.add(x);
    check_q(d, {0, 2, 3.7, 3.9, 5});
    check_npos(d, {1, 3, 5, 7, 9});

    // Parabola beyond the neighbour (4.5 > 4): linear towards an equal
    // neighbour leaves the height, the position still moves.
    Est f(0.5, 1, 2, 3, 4, 4);
    f.add(4);
    f.add(4);
    check_q(f, {1, 2, 3, 4, 4});
    check_npos(f, {1, 2, 3, 5, 7});

    // All three heights equal: parabola equals the neighbour, same outcome.
    Est g(0.5, 1, 2, 4, 4, 4);
    g.add(4);
    g.add(4);
    check_q(g, {1, 2, 4, 4, 4});
    check_npos(g, {1, 2, 3, 5, 7});
}

void test_constant_stream() {
    Est e(0.25, 7.5, 7.5, 7.5, 7.5, 7.5);
    bool ok = true;
    for (std::int32_t n = 6; n <= 2000; ++n) {
        e.add(7.5);
        ok &= invariants_hold(e, n);
        for (double h : e.q) ok &= h == 7.5;
    }
    CHECK(ok);
    CHECK_EQ(e.q[2], 7.5);
}

template <class Draw>
void run_stream(std::int32_t n, Draw draw, Est& e, bool& ok) {
    ok = true;
    for (std::int32_t i = 6; i <= n; ++i) {
        e.add(draw());
        ok &= invariants_hold(e, i);
    }
}

void test_long_streams() {
    std::mt19937_64 gen(20240611);
    std::uniform_real_distribution<double> unif(0.0, 1.0);
    const std::int32_t n = 200000;
    for (double p : {0.25, 0.5, 0.75}) {
        auto draw = [&] { return unif(gen); };
        Est e(p, draw(), draw(), draw(), draw(), draw());
        bool ok;
        run_stream(n, draw, e, ok);
        CHECK(ok);
        CHECK(std::fabs(e.q[2] - p) < 0.01);
        CHECK(std::fabs(e.q[1] - p / 2) < 0.02);
        CHECK(std::fabs(e.q[3] - (1 + p) / 2) < 0.02);
        CHECK(std::fabs(e.ndes[2] - (1 + (n - 1) * p)) < 1e-6);
    }

    // Small integers (ranks, fronts): heavy ties, invariants only, plus the
    // estimate must stay within the observed range.
    std::uniform_int_distribution<int> small(0, 3);
    for (double p : {0.25, 0.5, 0.75}) {
        auto draw = [&] { return static_cast<double>(small(gen)); };
        Est e(p, draw(), draw(), draw(), draw(), draw());
        bool ok;
        run_stream(50000, draw, e, ok);
        CHECK(ok);
        CHECK(e.q[0] == 0.0 && e.q[4] == 3.0);
    }

    // Monotone streams push every marker the same way on every step.
    for (double sign : {1.0, -1.0}) {
        double v = 0.0;
        auto draw = [&] { return sign * (v += 1.0); };
        Est e(0.5, draw(), draw(), draw(), draw(), draw());
        bool ok;
        run_stream(20000, draw, e, ok);
        CHECK(ok);
        CHECK(std::fabs(std::fabs(e.q[2]) - 10000.0) < 200.0);
    }
}

}  // namespace

int main() {
    RUN(test_sort5);
    RUN(test_init);
    RUN(test_worked_example);
    RUN(test_cells);
    RUN(test_move_at_exactly_one);
    RUN(test_adjustment_order);
    RUN(test_blocked_down_move);
    RUN(test_parabola_rejection);
    RUN(test_constant_stream);
    RUN(test_long_streams);
    return kcheck::finish();
}
