import inspect
import os
import subprocess
import sys
import textwrap

import pytest
import torch

import morlith
from quarnet.testing.natural_images import natural_pair
from quarnet.testing.ssim_maps import gaussian_window_f64, ssim_map_of, standin_kernels


def rand(*shape, dtype=torch.float32, seed=0):
    return torch.rand(*shape, dtype=dtype, generator=torch.Generator().manual_seed(seed))


class RecordingKernels:
    """Fake fusedssim / fusedssim_backward that record what they receive."""

    def __init__(self, map_value=0.25, grad_value=7.0):
        self.forward_calls, self.backward_calls = [], []
        self.map_value, self.grad_value = map_value, grad_value

    def fusedssim(self, *args):
        self.forward_calls.append(args)
        self.map = torch.full(args[2].shape, self.map_value, dtype=args[2].dtype)
        return self.map

    def fusedssim_backward(self, *args):
        self.backward_calls.append(args)
        return torch.full_like(args[2], self.grad_value)


def patch_kernels(monkeypatch, kernels):
    """Binds kernels.fusedssim / fusedssim_backward in morlith's namespace for one test."""
    for name in ("fusedssim", "fusedssim_backward"):
        monkeypatch.setattr(morlith, name, getattr(kernels, name), raising=False)
    return kernels


@pytest.fixture
def fake(monkeypatch):
    return patch_kernels(monkeypatch, RecordingKernels())


@pytest.fixture
def standin(monkeypatch):
    return patch_kernels(monkeypatch, standin_kernels())


# ---- the autograd function and fast_ssim, with recording kernels ----------


def test_class_and_constants():
    cls = morlith.FusedSSIMMap
    assert issubclass(cls, torch.autograd.Function)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == ("FusedSSIMMap", "FusedSSIMMap", "morlith")
    for name in ("forward", "backward"):
        assert isinstance(inspect.getattr_static(cls, name), staticmethod)
    assert (morlith.C1, morlith.C2) == (0.0001, 0.0009)
    assert type(morlith.C1) is float and type(morlith.C2) is float


def test_forward_passes_the_arguments_and_returns_the_kernels_map(fake):
    img1, img2 = rand(1, 3, 4, 5), rand(1, 3, 4, 5, seed=1)
    out = morlith.FusedSSIMMap.apply(0.5, 0.25, img1, img2)
    (c1, c2, a, b), = fake.forward_calls
    assert (c1, c2) == (0.5, 0.25) and a is img1 and b is img2
    assert out is fake.map and out.dtype == torch.float32 and out.shape == (1, 3, 4, 5)


def test_backward_gets_constants_saved_tensors_and_the_mean_gradient(fake):
    img1 = rand(2, 3, 4, 5).requires_grad_()
    img2 = rand(2, 3, 4, 5, seed=1).requires_grad_()
    loss = morlith.fast_ssim(img1, img2)
    assert loss.shape == () and loss.item() == pytest.approx(0.25)
    assert fake.forward_calls[0][:2] == (0.0001, 0.0009)
    loss.backward()
    (c1, c2, a, b, grad_map), = fake.backward_calls
    assert (c1, c2) == (0.0001, 0.0009)
    assert not a.requires_grad and a.data_ptr() == img1.data_ptr() and torch.equal(a, img1.detach())
    assert b is img2
    assert grad_map.shape == (2, 3, 4, 5) and torch.all(grad_map == 1 / 120)
    assert torch.all(img1.grad == 7.0)
    assert img2.grad is None


def test_reassigned_constants_reach_both_kernels_of_that_call(fake, monkeypatch):
    img1 = rand(1, 1, 3, 3).requires_grad_()
    monkeypatch.setattr(morlith, "C1", 0.5)
    loss = morlith.fast_ssim(img1, rand(1, 1, 3, 3))
    monkeypatch.setattr(morlith, "C1", 0.75)  # after the forward: the context keeps 0.5
    loss.backward()
    assert fake.forward_calls[0][0] == 0.5 and fake.backward_calls[0][0] == 0.5
    morlith.fast_ssim(img1, img1)
    assert fake.forward_calls[1][:2] == (0.75, 0.0009)


# ---- load-time import of the native kernels ---------------------------------


def run_python(code, tmp_path, **env):
    """Runs code in a fresh interpreter (outside the source tree), with `env` added
    to the environment; returns stdout."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=tmp_path, capture_output=True,
                          text=True, timeout=300, env={**os.environ, **env})
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    return proc.stdout


def test_without_the_native_module_only_fast_ssim_fails(tmp_path):
    out = run_python("""
        import sys
        sys.modules["diff_gaussian_rasterization"] = None   # import fails
        import torch, morlith
        x = torch.rand(1, 3, 16, 16)
        assert morlith.l1_loss(x, x).item() == 0 and morlith.l2_loss(x, x).item() == 0
        assert abs(morlith.ssim(x, x).item() - 1) < 1e-6
        assert not hasattr(morlith, "fusedssim") and not hasattr(morlith, "fusedssim_backward")
        try:
            morlith.fast_ssim(x, x)
        except NameError as e:
            print(e, e.name)
    """, tmp_path)
    assert out == "name 'fusedssim' is not defined fusedssim\n"


def test_a_module_without_the_backward_kernel_binds_what_it_has(tmp_path):
    out = run_python("""
        import sys, types, torch
        pkg = types.ModuleType("diff_gaussian_rasterization")
        pkg.__path__ = []
        native = types.ModuleType("diff_gaussian_rasterization._C")
        native.fusedssim = lambda c1, c2, a, b: a * 0 + 0.5
        pkg._C = native
        sys.modules.update({"diff_gaussian_rasterization": pkg, "diff_gaussian_rasterization._C": native})
        import morlith
        assert morlith.fusedssim is native.fusedssim and not hasattr(morlith, "fusedssim_backward")
        x = torch.rand(1, 1, 4, 4, requires_grad=True)
        loss = morlith.fast_ssim(x, x)
        print(loss.item())
        try:
            loss.backward()
        except NameError as e:
            print(e)
    """, tmp_path)
    assert out == "0.5\nname 'fusedssim_backward' is not defined\n"


def test_a_failing_native_module_is_swallowed_silently(tmp_path):
    (tmp_path / "diff_gaussian_rasterization").mkdir()
    (tmp_path / "diff_gaussian_rasterization" / "__init__.py").write_text("raise RuntimeError('no GPU')\n")
    out = run_python("""
        import morlith
        print(sorted(n for n in vars(morlith) if n.startswith("fused")))
    """, tmp_path)
    assert out == "[]\n"


def test_a_missing_torch_fails_the_load_with_its_own_error(tmp_path):
    out = run_python("""
        import sys
        sys.modules["torch"] = None
        try:
            import morlith
        except ImportError as e:
            print(type(e).__name__, e)
    """, tmp_path)
    assert out == "ModuleNotFoundError import of torch halted; None in sys.modules\n"


def test_the_standin_on_the_path_is_bound_at_load(tmp_path):
    from quarnet._standins import fused_ssim_path

    out = run_python("""
        import morlith
        print(morlith.fusedssim.__module__, morlith.fusedssim_backward.__name__)
    """, tmp_path, PYTHONPATH=os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), fused_ssim_path()])))
    assert out == "diff_gaussian_rasterization._C fusedssim_backward\n"


# ---- the stand-in kernels ----------------------------------------------------


def test_standin_map_matches_the_windowed_map_float32(standin):
    img1, img2 = rand(2, 3, 37, 41, seed=2), rand(2, 3, 37, 41, seed=3)
    fused = standin.fusedssim(morlith.C1, morlith.C2, img1, img2)
    windowed = ssim_map_of(morlith.ssim, img1, img2)
    assert fused.dtype == torch.float32 and fused.shape == img1.shape
    torch.testing.assert_close(fused, windowed, rtol=0, atol=1e-5)
    assert morlith.fast_ssim(img1, img2).item() == pytest.approx(morlith.ssim(img1, img2).item(), abs=1e-6)


def test_standin_map_matches_the_windowed_map_float64(standin):
    img1, img2 = rand(1, 2, 30, 26, dtype=torch.float64, seed=4), rand(1, 2, 30, 26, dtype=torch.float64, seed=5)
    fused = standin.fusedssim(morlith.C1, morlith.C2, img1, img2)
    windowed = ssim_map_of(morlith._ssim, img1, img2, gaussian_window_f64(2), 11, 2)
    assert fused.dtype == torch.float64
    torch.testing.assert_close(fused, windowed, rtol=0, atol=1e-10)
    # ssim() itself builds its window in float32, which bounds the agreement.
    torch.testing.assert_close(fused, ssim_map_of(morlith.ssim, img1, img2), rtol=0, atol=1e-6)


@pytest.mark.parametrize("dtype, map_within, mean_within", [(torch.float32, 1.8e-3, 1e-5), (torch.float64, 2.9e-5, 2e-6)])
def test_standin_map_agrees_with_the_windowed_map_on_natural_images(standin, dtype, map_within, mean_within):
    """The agreement docs/modules.md states, on a pair with gradients, textures and
    flat bright patches (local variance near C2); in float64 the fused map is exact
    and the difference is ssim()'s float32 window."""
    a, b = (torch.from_numpy(x) for x in natural_pair((1, 3, 96, 128), "float64", seed=1))
    exact = ssim_map_of(morlith._ssim, a, b, gaussian_window_f64(3), 11, 3)
    x, y = a.to(dtype), b.to(dtype)
    fused, windowed = standin.fusedssim(morlith.C1, morlith.C2, x, y), ssim_map_of(morlith.ssim, x, y)
    assert (fused - windowed).abs().max().item() <= map_within
    assert abs(fused.mean() - windowed.mean()).item() <= mean_within
    if dtype == torch.float64:
        torch.testing.assert_close(fused, exact, rtol=0, atol=1e-10)


def test_standin_kernels_ask_torch_for_their_thread_count_at_each_call(standin, monkeypatch):
    asked = []

    class CountingTorch:
        def __getattr__(self, name):
            return getattr(torch, name)

        def get_num_threads(self):
            asked.append(torch.get_num_threads())
            return asked[-1]

    img1, img2 = rand(1, 3, 40, 40, seed=14).requires_grad_(), rand(1, 3, 40, 40, seed=15)
    want = standin.fusedssim(morlith.C1, morlith.C2, img1, img2)
    monkeypatch.setattr(standin, "torch", CountingTorch())
    morlith.fast_ssim(img1, img2).backward()
    assert asked == [torch.get_num_threads()] * 2  # forward and backward
    assert torch.equal(standin.fusedssim(morlith.C1, morlith.C2, img1, img2), want)


def test_gradcheck_through_the_autograd_function(standin):
    img1 = rand(1, 2, 7, 13, dtype=torch.float64, seed=6).requires_grad_()
    img2 = rand(1, 2, 7, 13, dtype=torch.float64, seed=7)
    assert torch.autograd.gradcheck(lambda a: morlith.FusedSSIMMap.apply(morlith.C1, morlith.C2, a, img2), (img1,))


def test_gradient_matches_autograd_of_the_windowed_loss(standin):
    img1 = rand(2, 3, 33, 29, seed=8).requires_grad_()
    img2 = rand(2, 3, 33, 29, seed=9)
    (1 - morlith.fast_ssim(img1, img2)).backward()
    fused_grad = img1.grad.clone()
    img1.grad = None
    (1 - morlith.ssim(img1, img2)).backward()
    torch.testing.assert_close(fused_grad, img1.grad, rtol=0, atol=1e-5)
    # The gradients are of order 1 / numel: also agree relative to their size.
    torch.testing.assert_close(fused_grad, img1.grad, rtol=1e-3, atol=1e-8)


def test_strided_inputs_give_the_same_results(standin):
    img1, img2 = rand(2, 3, 20, 24, seed=10), rand(2, 3, 20, 24, seed=11)
    grad_map = rand(2, 3, 20, 24, seed=12)
    every_other_column = torch.stack([img1, rand(2, 3, 20, 24, seed=13)], -1).flatten(-2)[..., ::2]
    strided = [
        (img1.to(memory_format=torch.channels_last), img2),
        (every_other_column, img2.transpose(2, 3).contiguous().transpose(2, 3)),
    ]
    want_map = standin.fusedssim(0.0001, 0.0009, img1, img2)
    want_grad = standin.fusedssim_backward(0.0001, 0.0009, img1, img2, grad_map)
    for a, b in strided:
        assert not a.is_contiguous() and torch.equal(a, img1) and torch.equal(b, img2)
        assert torch.equal(standin.fusedssim(0.0001, 0.0009, a, b), want_map)
        column_major_grad = grad_map.mT.contiguous().mT
        assert torch.equal(standin.fusedssim_backward(0.0001, 0.0009, a, b, column_major_grad), want_grad)
    broadcast = img1[:1].expand(2, 3, 20, 24)  # batch stride 0
    assert torch.equal(standin.fusedssim(0.0001, 0.0009, broadcast, img2),
                       standin.fusedssim(0.0001, 0.0009, broadcast.contiguous(), img2))


def test_results_are_new_tensors_of_the_first_images_kind(standin):
    img1 = rand(1, 1, 6, 6, dtype=torch.float64).requires_grad_()
    img2 = rand(1, 1, 6, 6, dtype=torch.float64, seed=1)
    ssim_map = standin.fusedssim(0.0001, 0.0009, img1, img2)
    grad = standin.fusedssim_backward(0.0001, 0.0009, img1, img2, torch.ones_like(ssim_map))
    for t in (ssim_map, grad):
        assert t.shape == img1.shape and t.dtype == torch.float64 and t.device == img1.device
        assert not t.requires_grad and t.is_contiguous()
    assert standin.fusedssim(0.0001, 0.0009, img1=img1, img2=img1).allclose(torch.ones(1, 1, 6, 6, dtype=torch.float64))
    empty = torch.empty(0, 3, 5, 5)
    assert standin.fusedssim(0.0001, 0.0009, empty, empty).shape == (0, 3, 5, 5)


def test_constants_change_the_map(standin):
    img1, img2 = rand(1, 1, 9, 9, dtype=torch.float64), rand(1, 1, 9, 9, dtype=torch.float64, seed=1)
    base = standin.fusedssim(0.0001, 0.0009, img1, img2)
    bigger = standin.fusedssim(1, 1, img1, img2)
    assert (bigger > base).all()  # large constants pull every value toward 1
    assert torch.equal(standin.fusedssim(1, 1.0, img1, img2), bigger)


def test_bad_input_raises_clear_errors(standin):
    good = rand(1, 3, 8, 8)
    f, b = standin.fusedssim, standin.fusedssim_backward
    cases = [
        (lambda: f(1e-4, 9e-4, good, rand(1, 3, 8, 9)), ValueError,
         r"^fusedssim\(\): img1 and img2 differ in shape \(\(1, 3, 8, 8\) and \(1, 3, 8, 9\)\)$"),
        (lambda: f(1e-4, 9e-4, good[0], good[0]), ValueError,
         r"^fusedssim\(\): img1 must have 4 dimensions \(N, C, H, W\), got 3$"),
        (lambda: f(1e-4, 9e-4, good.half(), good.half()), TypeError,
         r"^fusedssim\(\): img1 has dtype torch.float16; expected torch.float32 or torch.float64$"),
        (lambda: f(1e-4, 9e-4, good, good.double()), TypeError,
         r"^fusedssim\(\): img1 and img2 differ in dtype \(torch.float32 and torch.float64\)$"),
        (lambda: f(1e-4, 9e-4, good, torch.zeros(1, 3, 8, 8, dtype=torch.int64)), TypeError,
         r"^fusedssim\(\): img2 has dtype torch.int64"),
        (lambda: f(1e-4, 9e-4, torch.empty(1, 3, 8, 8, device="meta"), good), ValueError,
         r"^fusedssim\(\): img1 is on device meta; the fused SSIM kernels run on the CPU only$"),
        (lambda: f(1e-4, 9e-4, good.to_sparse(), good), ValueError,
         r"^fusedssim\(\): img1 must be a dense tensor, got layout torch.sparse_coo$"),
        (lambda: f(1e-4, 9e-4, good.tolist(), good), TypeError,
         r"^fusedssim\(\): img1 must be a torch.Tensor, not list$"),
        (lambda: f("0.1", 9e-4, good, good), TypeError, r"^fusedssim\(\): C1 must be a real number, not str$"),
        (lambda: f(1e-4, 9e-4, good), TypeError, r"^fusedssim\(\) missing 1 required positional argument: 'img2'$"),
        (lambda: b(1e-4, 9e-4, good, good, good[:, :, :4]), ValueError,
         r"^fusedssim_backward\(\): img1 and dL_dmap differ in shape"),
        (lambda: b(1e-4, 9e-4, good, good, good.double()), TypeError,
         r"^fusedssim_backward\(\): img1 and dL_dmap differ in dtype"),
    ]
    for call, error, message in cases:
        with pytest.raises(error, match=message):
            call()
