// Zero-order-hold discretisation of a continuous SISO transfer function:
// the (num, den) that scipy.signal.cont2discrete((num, den), Ts, "zoh")
// returns, for programs that cannot call SciPy.
//
// Input: num and den in descending powers of s. Output: ascending powers of
// z^-1, den[0] == 1, num as long as den. The steps are the library's:
//  * normalize: den's leading exact zeros dropped, both divided by den[0],
//    then num's leading coefficients with |b| <= 1e-14 dropped (one kept);
//  * tf2ss's controller canonical form (A, B, C, D), num zero-padded in
//    front to len(den);
//  * [Ad Bd] = the top rows of exp([[A, B], [0, 0]] * Ts);
//  * ss2tf: den = det(zI - Ad), num = det(zI - Ad + Bd C) + (D - 1) den.
// A static gain (len(den) == 1 after trimming) gives num [k, -k], den
// [1, -1] with k = 1 + (b0/a0 - 1) rounded as ss2tf rounds it: tf2ss
// makes it one state with A = B = C = 0, and the library keeps the
// cancelling pair at z = 1.
//
// Refused with std::invalid_argument: a den with no nonzero coefficient,
// an empty num, a num longer than den after trimming (in SciPy's words),
// a non-finite Ts or coefficient, and values that overflow on the way or
// in the result. Any finite Ts is taken, as SciPy takes it: Ts == 0 puts
// every pole at z = 1 and Ts < 0 steps backwards in time.
//
// Accuracy: within about an ulp of the largest coefficient of the exact
// result for the doubles that SciPy forms (the normalised coefficients, C,
// Ts * [[A, B], [0, 0]]), where long double is wider than double. The
// exponential (balanced, then Pade 13 with scaling and squaring) and both
// polynomials are worked in long double and rounded once, and num comes
// from the adjugate (see transfer()), not as a difference. Not bit-identical
// to SciPy, which takes both polynomials from LAPACK eigenvalues and
// subtracts two of the size of den for num, costing its num about
// 1e-16 * max|den|: den agrees to ~1e-14 of its largest coefficient, num to
// 1e-13 of its own wherever SciPy's is that accurate, but not where num is
// small beside den (Ts well below the time constants, several more poles
// than zeros), where SciPy's num is off by up to ~1e-8 of itself.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <stdexcept>
#include <vector>

namespace korvel {

struct DiscreteTf {
    std::vector<double> num, den; // ascending powers of z^-1, den[0] == 1
};

namespace zoh_detail {

using Real = long double;

struct Square {
    std::size_t n;
    std::vector<Real> v; // row-major
    explicit Square(std::size_t size) : n(size), v(size * size, 0.0L) {}
    Real& operator()(std::size_t i, std::size_t j) { return v[i * n + j]; }
    Real operator()(std::size_t i, std::size_t j) const { return v[i * n + j]; }
};

inline Square mul(const Square& x, const Square& y) {
    Square r(x.n);
    for (std::size_t i = 0; i < x.n; ++i)
        for (std::size_t k = 0; k < x.n; ++k)
            for (std::size_t j = 0; j < x.n; ++j)
                r(i, j) += x(i, k) * y(k, j);
    return r;
}

// p X = q by Gaussian elimination with partial pivoting; q becomes X.
inline void solve(Square& p, Square& q) {
    const std::size_t n = p.n;
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t piv = k;
        for (std::size_t i = k + 1; i < n; ++i)
            if (std::abs(p(i, k)) > std::abs(p(piv, k))) piv = i;
        for (std::size_t j = 0; j < n; ++j) {
            std::swap(p(k, j), p(piv, j));
            std::swap(q(k, j), q(piv, j));
        }
        for (std::size_t i = k + 1; i < n; ++i) {
            const Real f = p(i, k) / p(k, k);
            for (std::size_t j = k; j < n; ++j)
                p(i, j) -= f * p(k, j);
            for (std::size_t j = 0; j < n; ++j)
                q(i, j) -= f * q(k, j);
        }
    }
    for (std::size_t k = n; k-- > 0;)
        for (std::size_t j = 0; j < n; ++j) {
            Real s = q(k, j);
            for (std::size_t i = k + 1; i < n; ++i)
                s -= p(k, i) * q(i, j);
            q(k, j) = s / p(k, k);
        }
}

// exp(m) by scaling and squaring with the [13/13] Pade approximant. Its
// backward error grows as theta^26, so double's theta13 = 5.37 shrinks by
// 2^(-11/26) to about 4 for long double's 11 further bits.
inline Square pade_expm(Square m) {
    static constexpr Real b[] = {64764752532480000.0L,
                                 32382376266240000.0L,
                                 7771770303897600.0L,
                                 1187353796428800.0L,
                                 129060195264000.0L,
                                 10559470521600.0L,
                                 670442572800.0L,
                                 33522128640.0L,
                                 1323241920.0L,
                                 40840800.0L,
                                 960960.0L,
                                 16380.0L,
                                 182.0L,
                                 1.0L};
    const std::size_t n = m.n;
    Real norm = 0.0L;
    for (std::size_t j = 0; j < n; ++j) {
        Real s = 0.0L;
        for (std::size_t i = 0; i < n; ++i)
            s += std::abs(m(i, j));
        norm = std::max(norm, s);
    }
    int squarings = 0;
    if (norm > 4.0L) {
        std::frexp(norm / 4.0L, &squarings); // 2^squarings > norm / 4
        for (Real& x : m.v)
            x = std::ldexp(x, -squarings);
    }
    const Square m2 = mul(m, m), m4 = mul(m2, m2), m6 = mul(m2, m4);
    Square hi_u(n), hi_v(n), u(n), v(n);
    for (std::size_t k = 0; k < n * n; ++k) {
        hi_u.v[k] = b[13] * m6.v[k] + b[11] * m4.v[k] + b[9] * m2.v[k];
        hi_v.v[k] = b[12] * m6.v[k] + b[10] * m4.v[k] + b[8] * m2.v[k];
    }
    hi_u = mul(m6, hi_u);
    hi_v = mul(m6, hi_v);
    for (std::size_t k = 0; k < n * n; ++k) {
        u.v[k] = hi_u.v[k] + b[7] * m6.v[k] + b[5] * m4.v[k] + b[3] * m2.v[k];
        v.v[k] = hi_v.v[k] + b[6] * m6.v[k] + b[4] * m4.v[k] + b[2] * m2.v[k];
    }
    for (std::size_t i = 0; i < n; ++i) {
        u(i, i) += b[1];
        v(i, i) += b[0];
    }
    u = mul(m, u);
    Square p(n), q(n); // (V - U) exp(m) = V + U
    for (std::size_t k = 0; k < n * n; ++k) {
        p.v[k] = v.v[k] - u.v[k];
        q.v[k] = v.v[k] + u.v[k];
    }
    solve(p, q);
    for (int k = 0; k < squarings; ++k)
        q = mul(q, q);
    return q;
}

// A companion matrix with large coefficients is badly scaled: its norm, and
// so the number of squarings, is far above its spectral radius. Diagonal
// scaling by powers of two (exact) evens row and column norms first; then
// exp(m) = S exp(S^-1 m S) S^-1.
inline Square expm(Square m) {
    const std::size_t n = m.n;
    std::vector<int> scale(n, 0); // S = diag(2^scale)
    for (bool changed = true; changed;) {
        changed = false;
        for (std::size_t i = 0; i < n; ++i) {
            Real col = 0.0L, row = 0.0L;
            for (std::size_t j = 0; j < n; ++j)
                if (j != i) {
                    col += std::abs(m(j, i));
                    row += std::abs(m(i, j));
                }
            if (col == 0.0L || row == 0.0L) continue;
            Real c = col, r = row;
            int f = 0;
            for (; 2.0L * c < r; ++f) {
                c *= 2.0L;
                r /= 2.0L;
            }
            for (; c >= 2.0L * r; --f) {
                c /= 2.0L;
                r *= 2.0L;
            }
            if (f == 0 || c + r >= 0.95L * (col + row)) continue; // 5% steps: it ends
            for (std::size_t j = 0; j < n; ++j) {
                m(j, i) = std::ldexp(m(j, i), f);
                m(i, j) = std::ldexp(m(i, j), -f);
            }
            scale[i] += f;
            changed = true;
        }
    }
    Square e = pade_expm(m);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            e(i, j) = std::ldexp(e(i, j), scale[i] - scale[j]);
    return e;
}

// Householder reflector P = I - beta w w' taking x[k:] to (alpha, 0, ...);
// beta == 0 when x[k:] is already zero.
struct Reflector {
    std::size_t k;
    std::vector<Real> w;
    Real beta = 0.0L, alpha = 0.0L;

    Reflector(std::size_t from, const std::vector<Real>& x) : k(from), w(x.size(), 0.0L) {
        Real norm = 0.0L;
        for (std::size_t i = k; i < x.size(); ++i)
            norm += x[i] * x[i];
        norm = std::sqrt(norm);
        if (norm == 0.0L) return;
        alpha = x[k] > 0.0L ? -norm : norm; // away from x[k]: w[k] does not cancel
        Real ww = 0.0L;
        for (std::size_t i = k; i < x.size(); ++i) {
            w[i] = i == k ? x[i] - alpha : x[i];
            ww += w[i] * w[i];
        }
        beta = 2.0L / ww;
    }

    // h = P h P
    void similarity(Square& h) const {
        const std::size_t n = h.n;
        for (std::size_t j = 0; j < n; ++j) {
            Real s = 0.0L;
            for (std::size_t i = k; i < n; ++i)
                s += w[i] * h(i, j);
            for (std::size_t i = k; i < n; ++i)
                h(i, j) -= beta * s * w[i];
        }
        for (std::size_t i = 0; i < n; ++i) {
            Real s = 0.0L;
            for (std::size_t j = k; j < n; ++j)
                s += h(i, j) * w[j];
            for (std::size_t j = k; j < n; ++j)
                h(i, j) -= beta * s * w[j];
        }
    }

    // c = c P
    void apply(std::vector<Real>& c) const {
        Real s = 0.0L;
        for (std::size_t j = k; j < c.size(); ++j)
            s += c[j] * w[j];
        for (std::size_t j = k; j < c.size(); ++j)
            c[j] -= beta * s * w[j];
    }
};

// det(zI - h[from:, from:]) for an upper Hessenberg h, descending powers,
// leading 1, expanding each leading block along its last column.
inline std::vector<Real> charpoly(const Square& h, std::size_t from) {
    const std::size_t m = h.n - from;
    const auto H = [&](std::size_t i, std::size_t j) { return h(from + i, from + j); };
    std::vector<std::vector<Real>> p(m + 1); // p[k]: of the leading k x k block
    p[0] = {1.0L};
    for (std::size_t k = 1; k <= m; ++k) {
        std::vector<Real>& pk = p[k];
        pk.assign(k + 1, 0.0L);
        for (std::size_t i = 0; i < k; ++i) {
            pk[i] += p[k - 1][i];
            pk[i + 1] -= H(k - 1, k - 1) * p[k - 1][i];
        }
        Real sub = 1.0L; // H(i+1, i) * ... * H(k-1, k-2)
        for (std::size_t i = k - 1; i-- > 0;) {
            sub *= H(i + 1, i);
            const Real f = H(i, k - 1) * sub;
            for (std::size_t j = 0; j <= i; ++j)
                pk[k - i + j] -= f * p[i][j];
        }
    }
    return p[m];
}

// den = det(zI - a) and num = c adj(zI - a) b + d den, descending powers;
// the same num as det(zI - a + b c) + (d - 1) den, without subtracting two
// polynomials of size ~den. An orthogonal similarity takes b to beta e1 and
// a to Hessenberg form h; column 0 of adj(zI - h) then has, in row k,
// h(1,0) h(2,1) ... h(k,k-1) times the characteristic polynomial of
// h[k+1:, k+1:].
inline void transfer(Square h, std::vector<Real> b, std::vector<Real> c, Real d,
                     std::vector<Real>& num, std::vector<Real>& den) {
    const std::size_t n = h.n;
    const Reflector first(0, b);
    first.similarity(h);
    first.apply(c);
    const Real beta = first.beta == 0.0L ? 0.0L : first.alpha;
    for (std::size_t k = 0; k + 2 < n; ++k) {
        std::vector<Real> col(n);
        for (std::size_t i = 0; i < n; ++i)
            col[i] = h(i, k);
        const Reflector r(k + 1, col);
        if (r.beta == 0.0L) continue;
        r.similarity(h);
        r.apply(c);
        h(k + 1, k) = r.alpha;
        for (std::size_t i = k + 2; i < n; ++i)
            h(i, k) = 0.0L;
    }
    den = charpoly(h, 0);
    num.assign(n + 1, 0.0L);
    Real sub = 1.0L;
    for (std::size_t k = 0; k < n; ++k) {
        if (k > 0) sub *= h(k, k - 1);
        const std::vector<Real> q = charpoly(h, k + 1);
        const Real f = beta * c[k] * sub;
        for (std::size_t j = 0; j < q.size(); ++j)
            num[k + 1 + j] += f * q[j];
    }
    for (std::size_t k = 0; k <= n; ++k)
        num[k] += d * den[k];
}

[[noreturn]] inline void not_finite() {
    throw std::invalid_argument("Array must not contain infs or NaNs");
}

} // namespace zoh_detail

inline DiscreteTf zoh(std::span<const double> num, std::span<const double> den, double Ts) {
    using zoh_detail::Real;
    const auto first = std::find_if(den.begin(), den.end(), [](double x) { return x != 0.0; });
    if (first == den.end())
        throw std::invalid_argument("Denominator must have at least on nonzero element.");
    if (num.empty()) throw std::invalid_argument("Numerator must have at least one coefficient.");

    const double a0 = *first;
    std::vector<double> a(first, den.end()), b(num.begin(), num.end());
    for (double& x : a)
        x /= a0;
    for (double& x : b)
        x /= a0;
    b.erase(b.begin(),
            std::find_if(b.begin(), b.end() - 1, [](double x) { return !(std::abs(x) <= 1e-14); }));
    const std::size_t K = a.size();
    if (b.size() > K)
        throw std::invalid_argument("Improper transfer function. `num` is longer than `den`.");
    b.insert(b.begin(), K - b.size(), 0.0);

    const auto finite = [](std::span<const double> v) {
        return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
    };
    if (!std::isfinite(Ts) || !finite(num) || !finite(den) || !finite(a) || !finite(b))
        zoh_detail::not_finite();

    const double D = b[0];
    if (K == 1) { // Ad = 1, Bd = 0: num = poly(1) + (D - 1) poly(1), rounded as there
        const double d1 = D - 1.0;
        return {{1.0 + d1, -1.0 - d1}, {1.0, -1.0}};
    }

    // [[A, B], [0, 0]] * Ts and C, rounded in double as the library rounds them.
    const std::size_t n = K - 1;
    zoh_detail::Square em(n + 1);
    std::vector<Real> c(n);
    for (std::size_t j = 0; j < n; ++j) {
        const double e = Ts * -a[j + 1];
        const double cj = b[j + 1] - D * a[j + 1];
        if (!std::isfinite(e) || !std::isfinite(cj)) zoh_detail::not_finite();
        em(0, j) = e;
        c[j] = cj;
    }
    for (std::size_t i = 1; i < n; ++i)
        em(i, i - 1) = Ts;
    em(0, n) = Ts;

    const zoh_detail::Square e = zoh_detail::expm(em);
    zoh_detail::Square ad(n);
    std::vector<Real> bd(n), pn, pd;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j)
            ad(i, j) = e(i, j);
        bd[i] = e(i, n);
    }
    zoh_detail::transfer(ad, bd, c, D, pn, pd);

    DiscreteTf r{std::vector<double>(K), std::vector<double>(K)};
    for (std::size_t k = 0; k < K; ++k) {
        r.num[k] = static_cast<double>(pn[k]);
        r.den[k] = static_cast<double>(pd[k]);
        if (!std::isfinite(r.num[k]) || !std::isfinite(r.den[k])) zoh_detail::not_finite();
    }
    return r;
}

} // namespace korvel
