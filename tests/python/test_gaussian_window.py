import math

import pytest
import torch

import morlith


def test_gaussian_11_taps():
    g = morlith.gaussian(11, 1.5)
    assert g.dtype == torch.float32 and g.shape == (11,)
    assert [round(v, 6) for v in g.tolist()] == [
        0.001028, 0.007599, 0.036001, 0.109361, 0.213006, 0.266012,
        0.213006, 0.109361, 0.036001, 0.007599, 0.001028,
    ]
    assert int(g.argmax()) == 5
    assert g.sum().item() == pytest.approx(1.0, abs=1e-6)


def test_even_size_peaks_right_of_the_middle():
    g = morlith.gaussian(4, 1.5)
    assert g.tolist() == pytest.approx([0.136465, 0.265797, 0.331941, 0.265797], abs=1e-6)
    assert int(g.argmax()) == 2


@pytest.mark.parametrize("sigma", [0.25, 1.5, 7, -2.0])
def test_single_tap_is_one(sigma):
    assert morlith.gaussian(1, sigma).tolist() == [1.0]


def test_negative_sigma_equals_its_absolute_value():
    assert torch.equal(morlith.gaussian(9, -2.5), morlith.gaussian(9, 2.5))


def test_interpreter_errors_pass_through():
    with pytest.raises(ZeroDivisionError, match="float division by zero"):
        morlith.gaussian(5, 0)
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        morlith.gaussian(5.0, 1.5)


def test_weights_come_from_the_namespace_exp(monkeypatch):
    seen = []
    monkeypatch.setattr(morlith, "exp", lambda q: seen.append(q) or math.exp(q))
    morlith.gaussian(window_size=3, sigma=1)
    assert seen == [-0.5, -0.0, -0.5]


def test_default_dtype_sets_the_1d_type_but_the_window_stays_float32():
    previous = torch.get_default_dtype()
    torch.set_default_dtype(torch.float64)
    try:
        assert morlith.gaussian(5, 1.5).dtype == torch.float64
        assert morlith.create_window(5, 2).dtype == torch.float32
    finally:
        torch.set_default_dtype(previous)


def test_create_window_11_by_3():
    w = morlith.create_window(11, 3)
    assert w.shape == (3, 1, 11, 11) and w.dtype == torch.float32
    assert w.is_contiguous() and not w.requires_grad
    g = morlith.gaussian(11, 1.5)
    outer = torch.outer(g, g)
    for c in range(3):
        assert torch.equal(w[c, 0], outer)
        assert torch.equal(w[c, 0], w[c, 0].t())
        assert w[c, 0].sum().item() == pytest.approx(1.0, abs=1e-6)
    assert w[0, 0, 5, 5].item() == pytest.approx(0.070762, abs=1e-6)
    w[0, 0, 5, 5] = 9.0  # real copies, not a broadcast view
    assert w[1, 0, 5, 5].item() == pytest.approx(0.070762, abs=1e-6)


@pytest.mark.parametrize("window_size", [1, 4, 11])
def test_single_channel_window(window_size):
    assert morlith.create_window(window_size, 1).shape == (1, 1, window_size, window_size)


def test_create_window_uses_the_namespace_gaussian(monkeypatch):
    calls = []
    monkeypatch.setattr(morlith, "gaussian", lambda n, s: calls.append((n, s)) or torch.ones(n))
    assert torch.equal(morlith.create_window(channel=2, window_size=3), torch.ones(2, 1, 3, 3))
    assert calls == [(3, 1.5)]
