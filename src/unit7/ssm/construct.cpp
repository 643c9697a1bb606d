// construct.cpp: self-similarity matrices from features (make_ssm) and from audio (audio_to_ssm).
#include "bodies.hpp"

namespace unit7::body {

Ref make_ssm(Frame& fr, PyObject* const* args) {
    PyObject* f = args[0];
    fr.at(1);  // return np.dot(f.T, f)
    Ref np = global(N.np);
    Ref dot = attr(np, N.dot);
    Ref f_t = attr(f, N.T);
    return call(dot, {f_t, f});
}

Ref audio_to_ssm(Frame& fr, PyObject* const* args) {
    PyObject *snd = args[0], *cens_filt_len = args[1], *cens_ds = args[2], *fft_len = args[3];

    fr.at(1);  // hop_size = fft_len // 2
    Ref hop_size = floordiv(fft_len, S.c.i2);

    fr.at(2);  // chroma = make_chromagram(snd, 22050.0, fft_len, hop_size)
    Ref make_chromagram = global(N.make_chromagram);
    Ref chroma = call(make_chromagram, {snd, S.c.f22050, fft_len, hop_size});

    fr.at(3);  // chroma = cens(chroma, cens_filt_len, cens_ds)
    Ref cens = global(N.cens);
    chroma = call(cens, {chroma, cens_filt_len, cens_ds});

    fr.at(4);  // ff = 22050.0 / hop_size / cens_ds
    Ref rate = truediv(S.c.f22050, hop_size);
    Ref ff = truediv(rate, cens_ds);

    fr.at(5);  // return np.dot(chroma.T, chroma), ff
    Ref np = global(N.np);
    Ref dot = attr(np, N.dot);
    Ref chroma_t = attr(chroma, N.T);
    Ref ssm = call(dot, {chroma_t, chroma});
    return tuple({ssm, ff});
}

}  // namespace unit7::body
