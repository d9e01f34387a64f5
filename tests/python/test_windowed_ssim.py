import types

import numpy as np
import pytest
import torch
from scipy.signal import correlate2d

import morlith
from quarnet.testing.ssim_maps import gaussian_window_f64, ssim_map_of


def rand(*shape, dtype=torch.float32, seed=0):
    return torch.rand(*shape, dtype=dtype, generator=torch.Generator().manual_seed(seed))


def test_identical_images_give_one():
    x = rand(3, 3, 20, 17)
    assert morlith.ssim(x, x).item() == pytest.approx(1.0, abs=1e-6)
    per_image = morlith.ssim(x, x, size_average=False)
    assert per_image.shape == (3,)
    assert per_image.tolist() == pytest.approx([1.0] * 3, abs=1e-6)


def test_mean_and_per_image_means():
    x, y = rand(4, 3, 24, 30, seed=1), rand(4, 3, 24, 30, seed=2)
    total = morlith.ssim(x, y)
    per_image = morlith.ssim(x, y, 11, False)
    assert total.shape == () and per_image.shape == (4,)
    assert per_image.mean().item() == pytest.approx(total.item(), rel=1e-6)
    for i in range(4):
        alone = morlith.ssim(x[i : i + 1], y[i : i + 1])
        assert per_image[i].item() == pytest.approx(alone.item(), rel=1e-6)


@pytest.mark.parametrize("a, b", [(0.0, 1.0), (0.2, 0.7), (0.5, 0.5)])
def test_constant_images_in_the_interior(a, b):
    x = torch.full((1, 1, 15, 15), a, dtype=torch.float64)
    y = torch.full((1, 1, 15, 15), b, dtype=torch.float64)
    ssim_map = ssim_map_of(morlith.ssim, x, y)
    expected = (2 * a * b + 0.0001) / (a * a + b * b + 0.0001)
    assert ssim_map[0, 0, 5:10, 5:10].numpy() == pytest.approx(np.full((5, 5), expected), rel=1e-4)
    if (a, b) == (0.0, 1.0):
        assert expected == pytest.approx(0.0001, rel=1e-3)


def test_map_agrees_with_scipy_zero_padded_correlation():
    x, y = rand(1, 2, 19, 23, dtype=torch.float64, seed=3), rand(1, 2, 19, 23, dtype=torch.float64, seed=4)
    window = gaussian_window_f64(2)
    got = ssim_map_of(morlith._ssim, x, y, window, 11, 2)
    w = window[0, 0].numpy()
    for c in range(2):
        u, v = x[0, c].numpy(), y[0, c].numpy()
        blur = lambda img: correlate2d(img, w, mode="same", boundary="fill")  # noqa: E731
        mu1, mu2 = blur(u), blur(v)
        s11, s22, s12 = blur(u * u) - mu1**2, blur(v * v) - mu2**2, blur(u * v) - mu1 * mu2
        want = (2 * mu1 * mu2 + 1e-4) * (2 * s12 + 9e-4) / ((mu1**2 + mu2**2 + 1e-4) * (s11 + s22 + 9e-4))
        np.testing.assert_allclose(got[0, c].numpy(), want, rtol=0, atol=1e-12)


def test_even_window_grows_the_map_by_one():
    x, y = rand(2, 3, 10, 13), rand(2, 3, 10, 13, seed=5)
    assert ssim_map_of(morlith.ssim, x, y, window_size=4).shape == (2, 3, 11, 14)
    assert morlith.ssim(x, y, window_size=4, size_average=False).shape == (2,)


def test_conv2d_gets_the_window_in_the_images_dtype(monkeypatch):
    calls = []

    def conv2d(img, window, **kwargs):
        calls.append((window.dtype, window.device.type, window.shape, kwargs))
        return torch.nn.functional.conv2d(img, window, **kwargs)

    monkeypatch.setattr(morlith, "F", types.SimpleNamespace(conv2d=conv2d))
    x = rand(1, 3, 12, 12, dtype=torch.float64)
    assert morlith.ssim(x, x).dtype == torch.float64
    assert calls == [(torch.float64, "cpu", (3, 1, 11, 11), {"padding": 5, "groups": 3})] * 5


def test_a_cuda_image_gets_its_window_on_its_own_device(monkeypatch):
    steps = []

    class FakeWindow:
        def cuda(self, device):
            steps.append(("cuda", device))
            return self

        def type_as(self, other):
            steps.append(("type_as", other))
            return "typed window"

    class FakeImage:
        is_cuda = True

        def size(self, dim):
            return {-3: 3}[dim]

        def get_device(self):
            return 1

    img1, img2 = FakeImage(), object()
    monkeypatch.setattr(morlith, "create_window", lambda n, c: steps.append(("create_window", n, c)) or FakeWindow())
    monkeypatch.setattr(morlith, "_ssim", lambda *args: args)
    assert morlith.ssim(img1, img2, 7, 0) == (img1, img2, "typed window", 7, 3, 0)
    assert steps == [("create_window", 7, 3), ("cuda", 1), ("type_as", img1)]


def test_size_average_is_tested_for_truth_and_defaults_to_true():
    x, y = rand(2, 1, 9, 9, seed=6), rand(2, 1, 9, 9, seed=7)
    window = morlith.create_window(11, 1)
    assert morlith._ssim(x, y, window, 11, 1).item() == morlith._ssim(x, y, window, 11, 1, True).item()
    for falsy in (0, "", [], None):
        assert morlith.ssim(x, y, 11, falsy).shape == (2,)
    assert morlith.ssim(x, y, 11, "yes").shape == ()


def test_differentiable_in_both_images():
    x = rand(1, 3, 16, 16, seed=8).requires_grad_()
    y = rand(1, 3, 16, 16, seed=9).requires_grad_()
    (1 - morlith.ssim(x, y)).backward()
    assert x.grad.abs().sum() > 0 and y.grad.abs().sum() > 0


def test_errors_pass_through_from_torch():
    x = rand(1, 3, 8, 8)
    with pytest.raises(RuntimeError):
        morlith.ssim(x, rand(1, 2, 8, 8))  # channel counts differ
    with pytest.raises(RuntimeError):
        morlith.ssim(x, x.double())  # the window follows img1 only


@pytest.mark.parametrize("dtype", [torch.uint8, torch.int32, torch.bool])
def test_images_that_are_not_floating_are_refused(dtype):
    """Cast to an integer type the window is all zeros, and the SSIM of any pair would be 1."""
    x, img = rand(1, 3, 8, 8), (rand(1, 3, 8, 8) * 255).to(dtype)
    calls = [(morlith.ssim, "ssim", (img, x), "img1"), (morlith.ssim, "ssim", (x, img), "img2"),
             (morlith._ssim, "_ssim", (img, x, morlith.create_window(11, 3), 11, 3), "img1"),
             (morlith._ssim, "_ssim", (x, img, morlith.create_window(11, 3), 11, 3), "img2")]
    for function, name, args, which in calls:
        with pytest.raises(TypeError) as info:
            function(*args)
        assert str(info.value) == (f"{name}(): {which} must be a floating-point tensor, got {dtype} "
                                   "(convert images with .float() and scale them to [0, 1])")


@pytest.mark.parametrize("other", [(2, 3, 32, 32), (1, 3, 1, 32), (3, 32, 32)])
def test_shapes_that_would_broadcast_are_refused(other):
    """Broadcast, the formula gives a value that means nothing (1.14 for (1, 3, 1, 32))."""
    x = rand(1, 3, 32, 32)
    for a, b in [(x, rand(*other)), (rand(*other), x)]:
        for function, name, rest in [(morlith.ssim, "ssim", ()),
                                     (morlith._ssim, "_ssim", (morlith.create_window(11, 3), 11, 3))]:
            with pytest.raises(ValueError) as info:
                function(a, b, *rest)
            assert str(info.value) == (f"{name}(): img1 and img2 must have the same shape, "
                                       f"got {tuple(a.shape)} and {tuple(b.shape)}")
