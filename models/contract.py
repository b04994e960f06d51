"""The Calbrix FX model contract as a base class, and the example models built on it.

A model is a torch.nn.Module whose exported methods follow the contract in docs/model-contract.md.
Subclasses override what they do differently; setting a method to None leaves it out of the
scripted file, which is how the test fixtures model "a method is missing".
"""
from typing import List, Optional

import torch


class ContractModel(torch.nn.Module):
    """Passes audio through unchanged; no delay; neutral defaults."""

    def __init__(self):
        super().__init__()
        self.sample_rate: int = 48000
        self.block_size: int = 512

    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        return x

    @torch.jit.export
    def reset(self) -> int:
        return 0

    @torch.jit.export
    def set_daw_sample_rate_and_buffer_size(self, sample_rate: int, block_size: int) -> int:
        self.sample_rate = sample_rate
        self.block_size = block_size
        return 0

    @torch.jit.export
    def calc_model_delay_samples(self) -> int:
        return 0

    @torch.jit.export
    def calc_buffering_delay_samples(self) -> int:
        return 0

    @torch.jit.export
    def get_default_param_values(self) -> torch.Tensor:
        return torch.tensor([0.5, 0.5, 0.5, 0.5])

    @torch.jit.export
    def get_dry_default_value(self) -> float:
        return 0.0

    @torch.jit.export
    def get_wet_default_value(self) -> float:
        return 1.0

    @torch.jit.export
    def get_input_gain_default_value(self) -> float:
        return 0.5

    @torch.jit.export
    def get_output_gain_default_value(self) -> float:
        return 0.5


class DriveTone(ContractModel):
    """Example effect: a soft-clipping drive with a one-pole tone control.

    p1 drive, p2 tone (0 dark .. 1 bright), p3 output level, p4 asymmetry (bias before clipping).
    """

    def __init__(self):
        super().__init__()
        self.lowpass_state = torch.zeros(2)

    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        drive = 1.0 + 24.0 * p[0]
        bias = 0.3 * p[3]
        shaped = torch.tanh(drive * x + bias) - torch.tanh(bias)
        shaped = shaped / torch.tanh(drive)
        # One-pole low-pass per channel; the tone control blends it with the bright signal.
        coefficient = 0.25
        out = torch.empty_like(shaped)
        state = self.lowpass_state
        for i in range(shaped.size(1)):
            state = state + coefficient * (shaped[:, i] - state)
            out[:, i] = state
        self.lowpass_state = state
        tone = p[1]
        mixed = tone * shaped + (1.0 - tone) * out
        return (mixed * (2.0 * p[2])).contiguous()

    @torch.jit.export
    def reset(self) -> int:
        self.lowpass_state = torch.zeros(2)
        return 0

    @torch.jit.export
    def get_default_param_values(self) -> torch.Tensor:
        return torch.tensor([0.3, 0.7, 0.5, 0.0])

    @torch.jit.export
    def get_dry_default_value(self) -> float:
        return 0.0


EXAMPLES = {
    "drive_tone.pt": DriveTone,
    "clean_passthrough.pt": ContractModel,
}


def save(module: torch.nn.Module, path: str) -> None:
    torch.jit.script(module).save(path)
