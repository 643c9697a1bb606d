// smoothing.cpp: averaging along the diagonals of a matrix (diagonal_smoothing).
#include "bodies.hpp"
#include "native/paths.hpp"

namespace unit7::body {

namespace {

// The per-diagonal loop of diagonal_smoothing, statements 5 to 12:
//     for r in range(n):
//         diag_len = n - r
//         di1 = (np.arange(r, n), np.arange(0, diag_len))
//         di2 = (di1[1], di1[0])
//         filt = np.convolve(m[di1], win, mode='full')
//         filt_beg = int((win_len - 1) // 2)
//         out[di1] = filt[filt_beg:filt_beg + diag_len]
//         out[di2] = filt[filt_beg:filt_beg + diag_len]
// Only diagonals on and below the main one are read; each smoothed diagonal is written to its
// own place and to its mirror above the main diagonal. The loop stands on its own so that a
// native loop can take its place behind a guard that admits only the inputs on which the two
// cannot be told apart; this numpy path stays the definition.
void smooth_diagonals(Frame& fr, PyObject* m, PyObject* win_len, PyObject* n, PyObject* out, PyObject* win) {
    fr.at(5);
    Ref offsets = range(n);
    Iter it(offsets);
    Ref r;
    for (;;) {
        fr.at(5);
        if (!it.next(r)) break;

        fr.at(6);
        Ref diag_len = sub(n, r);

        fr.at(7);
        Ref np_for_rows = global(N.np);
        Ref arange_for_rows = attr(np_for_rows, N.arange);
        Ref rows = call(arange_for_rows, {r, n});
        Ref np_for_cols = global(N.np);
        Ref arange_for_cols = attr(np_for_cols, N.arange);
        Ref cols = call(arange_for_cols, {S.c.i0, diag_len});
        Ref di1 = tuple({rows, cols});

        fr.at(8);
        Ref mirror_rows = item(di1, S.c.i1);
        Ref mirror_cols = item(di1, S.c.i0);
        Ref di2 = tuple({mirror_rows, mirror_cols});

        fr.at(9);
        Ref np = global(N.np);
        Ref convolve = attr(np, N.convolve);
        Ref diagonal = item(m, di1);
        Ref filt = call(convolve, {diagonal, win}, {Kw{N.mode, N.full}});

        fr.at(10);
        Ref win_len_less_one = sub(win_len, S.c.i1);
        Ref lead = floordiv(win_len_less_one, S.c.i2);
        Ref filt_beg = to_int(lead);

        fr.at(11);
        Ref lower_stop = add(filt_beg, diag_len);
        Ref lower = get_slice(filt, filt_beg, lower_stop);
        set_item(out, di1, lower);

        fr.at(12);
        Ref upper_stop = add(filt_beg, diag_len);
        Ref upper = get_slice(filt, filt_beg, upper_stop);
        set_item(out, di2, upper);
    }
}

}  // namespace

Ref diagonal_smoothing(Frame& fr, PyObject* const* args) {
    PyObject *m = args[0], *win_len = args[1];

    fr.at(1);  // n = m.shape[0]
    Ref m_shape = attr(m, N.shape);
    Ref n = item(m_shape, S.c.i0);

    if (Ref r; native::try_diagonal_smoothing(m, win_len, n, r)) return r;  // statements 2 to 13

    fr.at(2);  // out = np.zeros((n, n))
    Ref np = global(N.np);
    Ref zeros = attr(np, N.zeros);
    Ref side = tuple({n, n});
    Ref out = call(zeros, {side});

    fr.at(3);  // win = np.ones(win_len, dtype=float)
    Ref np_for_ones = global(N.np);
    Ref ones = attr(np_for_ones, N.ones);
    PyObject* float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
    Ref win = call(ones, {win_len}, {Kw{N.dtype, float_type}});

    fr.at(4);  // win /= np.sum(win)
    Ref np_for_sum = global(N.np);
    Ref sum = attr(np_for_sum, N.sum);
    Ref total = call(sum, {win});
    win = inplace_truediv(win, total);

    if (!native::try_smooth_diagonals(m, win_len, out))
        smooth_diagonals(fr, m, win_len, n, out, win);  // statements 5 to 12

    fr.at(13);  // return out
    return out;
}

}  // namespace unit7::body
