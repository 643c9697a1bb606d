// condition.cpp: thresholding and scaling (thresh_and_scale) and the time-lag transform (make_lag_matrix).
#include "bodies.hpp"
#include "native/paths.hpp"

namespace unit7::body {

namespace {

// The per-column loop of make_lag_matrix, statements 2 and 3:
//     for c in range(s.shape[1]):
//         out[:, c] = np.roll(s[:, c], -c)
// It stands on its own so that a native loop can take its place behind a guard that admits
// only the inputs on which the two cannot be told apart; this numpy path stays the definition.
void roll_columns(Frame& fr, PyObject* s, PyObject* out) {
    fr.at(2);
    Ref s_shape = attr(s, N.shape);
    Ref columns = item(s_shape, S.c.i1);
    Ref indices = range(columns);
    Iter it(indices);
    Ref c;
    for (;;) {
        fr.at(2);
        if (!it.next(c)) break;
        fr.at(3);
        Ref np = global(N.np);
        Ref roll = attr(np, N.roll);
        Ref column_key = tuple({S.c.full_slice, c});
        Ref column = item(s, column_key);
        Ref shift = neg(c);
        Ref rolled = call(roll, {column, shift});
        Ref target = tuple({S.c.full_slice, c});
        set_item(out, target, rolled);
    }
}

}  // namespace

Ref thresh_and_scale(Frame& fr, PyObject* const* args) {
    PyObject *m = args[0], *tau = args[1];
    if (Ref r; native::try_thresh_and_scale(m, tau, r)) return r;

    fr.at(1);  // out = (m - tau) / (1 - tau)
    Ref shifted = sub(m, tau);
    Ref span = sub(S.c.i1, tau);
    Ref out = truediv(shifted, span);

    fr.at(2);  // out[out < 0] = 0
    Ref negative = compare(out, S.c.i0, Py_LT);
    set_item(out, negative, S.c.i0);

    fr.at(3);  // return out
    return out;
}

Ref make_lag_matrix(Frame& fr, PyObject* const* args) {
    PyObject* s = args[0];
    if (Ref r; native::try_make_lag_matrix(s, r)) return r;

    fr.at(1);  // out = np.empty(s.shape)
    Ref np = global(N.np);
    Ref empty = attr(np, N.empty);
    Ref s_shape = attr(s, N.shape);
    Ref out = call(empty, {s_shape});

    roll_columns(fr, s, out);  // statements 2 and 3

    fr.at(4);  // return out
    return out;
}

}  // namespace unit7::body
