// diagonal.cpp: novelty along the main diagonal (diagonal_slide, diagonal_novelty).
#include "bodies.hpp"
#include "native/paths.hpp"

namespace unit7::body {

namespace {

// The per-frame loop of diagonal_slide, statements 7 and 8:
//     for n in range(ssm_len):
//         out[n] = np.sum(kernel * pad_ssm[n:n + k_len, n:n + k_len])
// It stays the definition; on the inputs where the two cannot be told apart, the native loop
// takes over from statement 4 instead, so that no padded copy is made.
void slide_frames(Frame& fr, PyObject* kernel, PyObject* pad_ssm, PyObject* out, PyObject* ssm_len,
                  PyObject* k_len) {
    fr.at(7);
    Ref frames = range(ssm_len);
    Iter it(frames);
    Ref n;
    for (;;) {
        fr.at(7);
        if (!it.next(n)) break;
        fr.at(8);
        Ref np = global(N.np);
        Ref sum = attr(np, N.sum);
        Ref row_stop = add(n, k_len);
        Ref rows = slice(n, row_stop);
        Ref col_stop = add(n, k_len);
        Ref cols = slice(n, col_stop);
        Ref key = tuple({rows, cols});
        Ref window = item(pad_ssm, key);
        Ref product = mul(kernel, window);
        Ref value = call(sum, {product});
        set_item(out, n, value);
    }
}

}  // namespace

Ref diagonal_slide(Frame& fr, PyObject* const* args) {
    PyObject *ssm = args[0], *kernel = args[1];

    fr.at(1);  // k_len = kernel.shape[0]
    Ref kernel_shape = attr(kernel, N.shape);
    Ref k_len = item(kernel_shape, S.c.i0);

    fr.at(2);  // k_hlen = k_len // 2
    Ref k_hlen = floordiv(k_len, S.c.i2);

    fr.at(3);  // ssm_len = ssm.shape[0]
    Ref ssm_shape = attr(ssm, N.shape);
    Ref ssm_len = item(ssm_shape, S.c.i0);

    // A square float64 matrix and kernel: the native loop does statements 4 to 9 without the padded copy.
    if (Ref out; native::try_diagonal_slide(ssm, kernel, out)) return out;

    fr.at(4);  // pad_ssm = np.zeros((ssm_len + k_len, ssm_len + k_len))
    Ref np = global(N.np);
    Ref zeros = attr(np, N.zeros);
    Ref pad_rows = add(ssm_len, k_len);
    Ref pad_cols = add(ssm_len, k_len);
    Ref pad_shape = tuple({pad_rows, pad_cols});
    Ref pad_ssm = call(zeros, {pad_shape});

    fr.at(5);  // pad_ssm[k_hlen:k_hlen + ssm_len, k_hlen:k_hlen + ssm_len] = ssm
    Ref row_stop = add(k_hlen, ssm_len);
    Ref rows = slice(k_hlen, row_stop);
    Ref col_stop = add(k_hlen, ssm_len);
    Ref cols = slice(k_hlen, col_stop);
    Ref interior = tuple({rows, cols});
    set_item(pad_ssm, interior, ssm);

    fr.at(6);  // out = np.zeros(ssm_len)
    Ref np_for_out = global(N.np);
    Ref zeros_for_out = attr(np_for_out, N.zeros);
    Ref out = call(zeros_for_out, {ssm_len});

    slide_frames(fr, kernel, pad_ssm, out, ssm_len, k_len);  // statements 7 and 8

    fr.at(9);  // return out
    return out;
}

Ref diagonal_novelty(Frame& fr, PyObject* const* args) {
    PyObject *ssm = args[0], *cb_len = args[1];

    fr.at(1);  // cb = make_checkerboard(cb_len, True, True)
    Ref make_cb = global(N.make_checkerboard);
    Ref cb = call(make_cb, {cb_len, Py_True, Py_True});

    fr.at(2);  // return diagonal_slide(ssm, cb)
    Ref slide = global(N.diagonal_slide);
    return call(slide, {ssm, cb});
}

}  // namespace unit7::body
