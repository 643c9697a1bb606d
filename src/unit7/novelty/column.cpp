// column.cpp: the derivative kernel and column novelty (make_derivative_kernel, column_derivative).
#include "bodies.hpp"
#include "native/paths.hpp"

namespace unit7::body {

namespace {

// The per-position loop of column_derivative, statements 6 to 8:
//     for n in range(N):
//         d = np.sum(m[:, n:n + k_len] * kern, axis=1)
//         out[n] = np.linalg.norm(d)
// It stands on its own so that a native loop can take its place behind a guard that admits
// only the inputs on which the two cannot be told apart; this numpy path stays the definition.
void slide_columns(Frame& fr, PyObject* padded, PyObject* k_len, PyObject* rows, PyObject* out, PyObject* kern) {
    fr.at(6);
    Ref positions = range(rows);
    Iter it(positions);
    Ref n;
    for (;;) {
        fr.at(6);
        if (!it.next(n)) break;

        fr.at(7);
        Ref np = global(N.np);
        Ref sum = attr(np, N.sum);
        Ref col_stop = add(n, k_len);
        Ref cols = slice(n, col_stop);
        Ref key = tuple({S.c.full_slice, cols});
        Ref window = item(padded, key);
        Ref product = mul(window, kern);
        Ref d = call(sum, {product}, {Kw{N.axis, S.c.i1}});

        fr.at(8);
        Ref np_for_norm = global(N.np);
        Ref linalg = attr(np_for_norm, N.linalg);
        Ref norm = attr(linalg, N.norm);
        Ref length = call(norm, {d});
        set_item(out, n, length);
    }
}

// Statements 3 and 4 of column_derivative, the zero padding on both sides:
//     z = np.zeros((N, k_len // 2))
//     m = np.concatenate((z, m, z), axis=1)
Ref pad_columns(Frame& fr, PyObject* m, PyObject* k_len, PyObject* rows) {
    fr.at(3);
    Ref np = global(N.np);
    Ref zeros = attr(np, N.zeros);
    Ref half = floordiv(k_len, S.c.i2);
    Ref z_shape = tuple({rows, half});
    Ref z = call(zeros, {z_shape});

    fr.at(4);
    Ref np_for_cat = global(N.np);
    Ref concatenate = attr(np_for_cat, N.concatenate);
    Ref blocks = tuple({z, m, z});
    return call(concatenate, {blocks}, {Kw{N.axis, S.c.i1}});
}

}  // namespace

Ref make_derivative_kernel(Frame& fr, PyObject* const* args) {
    PyObject *rows = args[0], *k_len = args[1];

    fr.at(1);  // x = np.linspace(-1, 1, k_len)
    Ref np = global(N.np);
    Ref linspace = attr(np, N.linspace);
    Ref x = call(linspace, {S.c.im1, S.c.i1, k_len});

    fr.at(2);  // y = np.ones(rows)
    Ref np_for_ones = global(N.np);
    Ref ones = attr(np_for_ones, N.ones);
    Ref y = call(ones, {rows});

    fr.at(3);  // kern = np.outer(y, np.exp(-1.5 * (x * x)))
    Ref np_for_outer = global(N.np);
    Ref outer = attr(np_for_outer, N.outer);
    Ref np_for_exp = global(N.np);
    Ref exp = attr(np_for_exp, N.exp);
    Ref x_sq = mul(x, x);
    Ref exponent = mul(S.c.fm1_5, x_sq);
    Ref profile = call(exp, {exponent});
    Ref kern = call(outer, {y, profile});

    fr.at(4);  // kern /= np.sum(kern, axis=1, keepdims=True)
    Ref np_for_sum = global(N.np);
    Ref sum = attr(np_for_sum, N.sum);
    Ref row_sums = call(sum, {kern}, {Kw{N.axis, S.c.i1}, Kw{N.keepdims, Py_True}});
    kern = inplace_truediv(kern, row_sums);

    fr.at(5);  // kern[:, :k_len // 2] *= -1
    Ref half = floordiv(k_len, S.c.i2);
    Ref leading = slice(Py_None, half);
    Ref key = tuple({S.c.full_slice, leading});
    Ref left = item(kern, key);
    Ref negated = inplace_mul(left, S.c.im1);
    set_item(kern, key, negated);

    fr.at(6);  // return kern
    return kern;
}

Ref column_derivative(Frame& fr, PyObject* const* args) {
    PyObject* k_len = args[1];
    Ref m = Ref::borrow(args[0]);

    fr.at(1);  // N = m.shape[0]
    Ref m_shape = attr(m, N.shape);
    Ref rows = item(m_shape, S.c.i0);

    fr.at(2);  // out = np.zeros(N)
    Ref np = global(N.np);
    Ref zeros = attr(np, N.zeros);
    Ref out = call(zeros, {rows});

    // The native loop reads m in place, after the kernel is made, and leaves out the columns of
    // zeros: no padded copy. Only the module's own make_derivative_kernel is let in between, which
    // leaves m as it was.
    bool native_loop = native::admit_column_derivative(m, k_len);
    if (!native_loop) m = pad_columns(fr, m, k_len, rows);  // statements 3 and 4

    fr.at(5);  // kern = make_derivative_kernel(N, k_len)
    Ref make_kernel = global(N.make_derivative_kernel);
    if (native_loop && !native::is_module_derivative_kernel(make_kernel)) {
        // Rebound by code the lookups ran: the function gets the padded copy made before it runs.
        native_loop = false;
        m = pad_columns(fr, m, k_len, rows);
        fr.at(5);
    }
    Ref kern = call(make_kernel, {rows, k_len});

    if (native_loop) {
        if (native::try_column_derivative(m, k_len, kern, out)) {
            fr.at(9);
            return out;
        }
        m = pad_columns(fr, m, k_len, rows);  // the kernel or the values are not for the native loop
    }
    slide_columns(fr, m, k_len, rows, out, kern);  // statements 6 to 8

    fr.at(9);  // return out
    return out;
}

}  // namespace unit7::body
