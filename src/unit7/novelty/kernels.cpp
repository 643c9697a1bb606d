// kernels.cpp: the checkerboard and Gaussian kernels (make_checkerboard, make_2d_gaussian).
#include "bodies.hpp"

namespace unit7::body {

Ref make_checkerboard(Frame& fr, PyObject* const* args) {
    PyObject *cb_len = args[0], *gaussian = args[1], *normalize = args[2];

    fr.at(1);  // cb_hlen = cb_len // 2
    Ref cb_hlen = floordiv(cb_len, S.c.i2);

    fr.at(2);  // out = np.ones((cb_len, cb_len))
    Ref np = global(N.np);
    Ref ones = attr(np, N.ones);
    Ref side = tuple({cb_len, cb_len});
    Ref out = call(ones, {side});

    fr.at(3);  // out[cb_hlen:cb_len, 0:cb_hlen] = -1
    Ref lower_rows = slice(cb_hlen, cb_len);
    Ref left_cols = slice(S.c.i0, cb_hlen);
    Ref lower_left = tuple({lower_rows, left_cols});
    set_item(out, lower_left, S.c.im1);

    fr.at(4);  // out[0:cb_hlen, cb_hlen:cb_len] = -1
    Ref upper_rows = slice(S.c.i0, cb_hlen);
    Ref right_cols = slice(cb_hlen, cb_len);
    Ref upper_right = tuple({upper_rows, right_cols});
    set_item(out, upper_right, S.c.im1);

    fr.at(5);  // if gaussian:
    if (truth(gaussian)) {
        fr.at(6);  // out *= make_2d_gaussian(cb_len)
        Ref make_gaussian = global(N.make_2d_gaussian);
        Ref taper = call(make_gaussian, {cb_len});
        out = inplace_mul(out, taper);
    }

    fr.at(7);  // if normalize:
    if (truth(normalize)) {
        fr.at(8);  // out /= np.sum(np.abs(out))
        Ref np_for_sum = global(N.np);
        Ref sum = attr(np_for_sum, N.sum);
        Ref np_for_abs = global(N.np);
        Ref abs = attr(np_for_abs, N.abs);
        Ref magnitudes = call(abs, {out});
        Ref total = call(sum, {magnitudes});
        out = inplace_truediv(out, total);
    }

    fr.at(9);  // return out
    return out;
}

Ref make_2d_gaussian(Frame& fr, PyObject* const* args) {
    PyObject *wlen = args[0], *eps_arg = args[1];

    fr.at(1);  // hlen = wlen / 2
    Ref hlen = truediv(wlen, S.c.i2);

    fr.at(2);  // x = np.arange(wlen) - hlen + 0.5
    Ref np = global(N.np);
    Ref arange = attr(np, N.arange);
    Ref ramp = call(arange, {wlen});
    Ref centred = sub(ramp, hlen);
    Ref x = add(centred, S.c.f0_5);

    fr.at(3);  // y = np.atleast_2d(x).T
    Ref np_for_y = global(N.np);
    Ref atleast_2d = attr(np_for_y, N.atleast_2d);
    Ref row = call(atleast_2d, {x});
    Ref y = attr(row, N.T);

    fr.at(4);  // eps = eps / hlen
    Ref eps = truediv(eps_arg, hlen);

    fr.at(5);  // return np.exp(-eps**2 * (x*x + y*y))
    Ref np_for_exp = global(N.np);
    Ref exp = attr(np_for_exp, N.exp);
    Ref eps_sq = power(eps, S.c.i2);
    Ref neg_eps_sq = neg(eps_sq);
    Ref xx = mul(x, x);
    Ref yy = mul(y, y);
    Ref r_sq = add(xx, yy);
    Ref exponent = mul(neg_eps_sq, r_sq);
    return call(exp, {exponent});
}

}  // namespace unit7::body
