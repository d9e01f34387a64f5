import math

import pytest
import torch

import morlith

LOSSES = [morlith.l1_loss, morlith.l2_loss]


@pytest.mark.parametrize("loss", LOSSES)
def test_identical_inputs_give_zero(loss):
    x = torch.rand(2, 3, 5, 4)
    result = loss(x, x.clone())
    assert result.shape == () and result.item() == 0.0


@pytest.mark.parametrize("shape", [(1,), (3, 7), (2, 3, 4, 5)])
def test_known_values(shape):
    ones, zeros = torch.ones(shape), torch.zeros(shape)
    assert morlith.l1_loss(ones, zeros).item() == 1.0
    assert morlith.l2_loss(ones, zeros).item() == 1.0
    threes = torch.full(shape, 3.0)
    assert morlith.l1_loss(threes, ones).item() == 2.0
    assert morlith.l2_loss(threes, ones).item() == 4.0
    assert morlith.l1_loss(network_output=threes, gt=ones).item() == 2.0


@pytest.mark.parametrize("loss", LOSSES)
def test_symmetric_in_its_arguments(loss):
    a, b = torch.rand(4, 6, dtype=torch.float64), torch.rand(4, 6, dtype=torch.float64)
    assert loss(a, b).item() == loss(b, a).item()


def test_broadcast_ground_truth_is_averaged_over_every_difference():
    out, gt = torch.rand(3, 4, 5, dtype=torch.float64), torch.rand(1, 4, 5, dtype=torch.float64)
    diff = (out - gt).numpy()
    assert morlith.l1_loss(out, gt).item() == pytest.approx(abs(diff).sum() / 60, rel=1e-12)
    assert morlith.l2_loss(out, gt).item() == pytest.approx((diff**2).sum() / 60, rel=1e-12)


@pytest.mark.parametrize("loss", LOSSES)
def test_empty_input_gives_nan(loss):
    assert math.isnan(loss(torch.empty(0), torch.empty(0)).item())


def test_result_type_and_gradients():
    out = torch.tensor([3.0, -1.0], dtype=torch.float64, requires_grad=True)
    gt = torch.tensor([1.0, 1.0], dtype=torch.float64, requires_grad=True)
    l1 = morlith.l1_loss(out, gt)
    assert l1.dtype == torch.float64 and l1.shape == ()
    l1.backward()
    assert out.grad.tolist() == [0.5, -0.5] and gt.grad.tolist() == [-0.5, 0.5]
    out.grad = gt.grad = None
    morlith.l2_loss(out, gt).backward()
    assert out.grad.tolist() == [2.0, -2.0] and gt.grad.tolist() == [-2.0, 2.0]


def test_torchs_errors_pass_through():
    with pytest.raises(RuntimeError, match="size of tensor a"):
        morlith.l1_loss(torch.ones(2, 3), torch.ones(4, 3))


def test_torch_is_looked_up_at_each_call(monkeypatch):
    calls = []

    class RecordingTorch:
        def abs(self, t):
            calls.append(t)
            return torch.abs(t)

    monkeypatch.setattr(morlith, "torch", RecordingTorch())
    assert morlith.l1_loss(torch.tensor([2.0]), torch.tensor([5.0])).item() == 3.0
    assert [t.tolist() for t in calls] == [[-3.0]]
