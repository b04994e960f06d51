"""Test fixtures: models with predictable output and models that break the contract one way each."""
import math
from typing import Optional, Tuple

import torch

from contract import ContractModel


class Gain(ContractModel):
    """Output = 2 x input, so the wet path is easy to tell from the dry one."""

    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        return x * 2.0


class ParamEcho(ContractModel):
    """Output row 0 = p1, row 1 = p2: shows what parameter values reach the model."""

    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        return p[0:2].clone()


class LastParamEcho(ContractModel):
    """Output row 0 = p3, row 1 = p4."""

    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        return p[2:4].clone()


class Delays(ContractModel):
    """Reports a model delay of 100 and a buffering delay of 1024 samples."""

    @torch.jit.export
    def calc_model_delay_samples(self) -> int:
        return 100

    @torch.jit.export
    def calc_buffering_delay_samples(self) -> int:
        return 1024


class CountingDelays(Delays):
    """Delays' delays; counts its forward_bt calls in `calls` (never reset), readable from C++."""

    def __init__(self):
        super().__init__()
        self.calls: int = 0

    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        self.calls += 1
        return x


class ReturnsNone(ContractModel):
    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        return None


class HalfLength(ContractModel):
    """Returns N = B / 2 samples per channel."""

    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        return x[:, 0: x.size(1) // 2].contiguous()


class Costly(ContractModel):
    """Identity whose compute cost is set by the attribute `iterations` (settable from C++).

    Each iteration is a small matrix product and tanh (a few microseconds), so the cost grows in
    fine steps and in proportion to `iterations`; the values stay near 0.86, never denormal, which
    would make the cost jump. When `slow_calls` is above 0, only the first `slow_calls` calls after
    reset() pay the cost.
    """

    def __init__(self):
        super().__init__()
        self.iterations: int = 0
        self.slow_calls: int = 0
        self.calls: int = 0
        self.work = torch.full((16, 16), 1.5 / 16)

    def spend(self) -> float:
        acc = self.work
        for _ in range(self.iterations):
            acc = torch.tanh(torch.mm(acc, self.work))
        return float(acc[0, 0])

    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        self.calls += 1
        if self.slow_calls == 0 or self.calls <= self.slow_calls:
            if self.spend() > 1.0e9:
                return None
        return x.clone()

    @torch.jit.export
    def reset(self) -> int:
        self.calls = 0
        return 0


class CostlyWithDelays(Costly, Delays):
    """Costly, reporting the delays of Delays: 100 samples of model delay, 1024 of buffering."""


class OverlapProbe(Costly):
    """Costly, and counts how many of its calls were ever running at the same time.

    Every method the engine calls goes through probe(), which spends a few milliseconds inside
    the module; max_overlap() reads the largest number of calls that were inside it together
    (1 when calls never overlap).
    """

    def __init__(self):
        super().__init__()
        self.iterations = 800
        self.inside: int = 0
        self.most_inside: int = 0

    def probe(self) -> int:
        self.inside += 1
        if self.inside > self.most_inside:
            self.most_inside = self.inside
        self.spend()
        self.inside -= 1
        return 0

    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        self.probe()
        return x.clone()

    @torch.jit.export
    def reset(self) -> int:
        return self.probe()

    @torch.jit.export
    def set_daw_sample_rate_and_buffer_size(self, sample_rate: int, block_size: int) -> int:
        return self.probe()

    @torch.jit.export
    def calc_model_delay_samples(self) -> int:
        return self.probe()

    @torch.jit.export
    def calc_buffering_delay_samples(self) -> int:
        return self.probe()

    @torch.jit.export
    def max_overlap(self) -> int:
        return self.most_inside


class RaisesInForward(ContractModel):
    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        raise RuntimeError("forward_bt always fails")


class RaisesInHousekeeping(ContractModel):
    """Its forward_bt works; reset, the rate call and both delay queries raise."""

    @torch.jit.export
    def reset(self) -> int:
        raise RuntimeError("reset always fails")

    @torch.jit.export
    def set_daw_sample_rate_and_buffer_size(self, sample_rate: int, block_size: int) -> int:
        raise RuntimeError("set_daw_sample_rate_and_buffer_size always fails")

    @torch.jit.export
    def calc_model_delay_samples(self) -> int:
        raise RuntimeError("calc_model_delay_samples always fails")

    @torch.jit.export
    def calc_buffering_delay_samples(self) -> int:
        raise RuntimeError("calc_buffering_delay_samples always fails")


class OneDimensionalOutput(ContractModel):
    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        return x[0].clone()


class OneRowOutput(ContractModel):
    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        return x[0:1].clone()


class Int64Output(ContractModel):
    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        return torch.ones(2, x.size(1), dtype=torch.int64)


class StridedOutput(ContractModel):
    """Rows with a stride: the transpose of a [B, 2] tensor."""

    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        return torch.ones(x.size(1), 2).t()


class NoReset(ContractModel):
    reset = None


class NoBufferingDelay(Delays):
    calc_buffering_delay_samples = None


class FloatModelDelay(Delays):
    @torch.jit.export
    def calc_model_delay_samples(self) -> float:
        return 100.0


class HugeModelDelay(ContractModel):
    @torch.jit.export
    def calc_model_delay_samples(self) -> int:
        return 200000


class NoOutputGainDefault(ContractModel):
    get_output_gain_default_value = None


class IntWetDefault(ContractModel):
    @torch.jit.export
    def get_wet_default_value(self) -> int:
        return 1


class RaisingMethods(RaisesInHousekeeping):
    """Every method but forward_bt fails the way a model's own code does: with a raise."""

    @torch.jit.export
    def get_dry_default_value(self) -> float:
        raise RuntimeError("the dry default fails")


class ThreeDefaults(ContractModel):
    @torch.jit.export
    def get_default_param_values(self) -> torch.Tensor:
        return torch.tensor([0.1, 0.2, 0.3])


class Defaults(ContractModel):
    """Distinct defaults; input gain 0.5 (0 dB), output gain 0.0 (-30 dB)."""

    @torch.jit.export
    def get_default_param_values(self) -> torch.Tensor:
        return torch.tensor([0.1, 0.2, 0.3, 0.4])

    @torch.jit.export
    def get_dry_default_value(self) -> float:
        return 0.25

    @torch.jit.export
    def get_wet_default_value(self) -> float:
        return 0.75

    @torch.jit.export
    def get_input_gain_default_value(self) -> float:
        return 0.5

    @torch.jit.export
    def get_output_gain_default_value(self) -> float:
        return 0.0


class NanDefault(ContractModel):
    @torch.jit.export
    def get_wet_default_value(self) -> float:
        return float("nan")


class SampleRateReturnsNone(ContractModel):
    @torch.jit.export
    def set_daw_sample_rate_and_buffer_size(self, sample_rate: int, block_size: int) -> Optional[int]:
        self.sample_rate = sample_rate
        return None


class SampleRateReturnsFloat(ContractModel):
    @torch.jit.export
    def set_daw_sample_rate_and_buffer_size(self, sample_rate: int, block_size: int) -> float:
        self.sample_rate = sample_rate
        return 0.0


class ToneSource(SampleRateReturnsNone):
    """Plays a 1 kHz sine at a quarter of full scale whatever its input, so that a check from outside
    the app can hear that the model runs; its rate call answers None, so the log shows that it was
    prepared."""

    def __init__(self):
        super().__init__()
        self.phase: float = 0.0

    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        step = 2.0 * math.pi * 1000.0 / float(self.sample_rate)
        n = x.size(1)
        phases = self.phase + step * torch.arange(n, dtype=torch.float32)
        self.phase = math.fmod(self.phase + step * n, 2.0 * math.pi)
        return (0.25 * torch.sin(phases)).unsqueeze(0).repeat(2, 1)


class RecordsPreparation(ContractModel):
    """Remembers what the host told it and how often forward_bt ran; reads them back as delays.

    calc_model_delay_samples() = the sample rate it was given, calc_buffering_delay_samples() = the
    number of forward_bt calls since the last reset() before that (warm-up count).
    """

    def __init__(self):
        super().__init__()
        self.calls: int = 0
        self.calls_before_reset: int = 0

    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        self.calls += 1
        return x

    @torch.jit.export
    def reset(self) -> int:
        if self.calls > 0:
            self.calls_before_reset = self.calls
        self.calls = 0
        return 0

    @torch.jit.export
    def calc_model_delay_samples(self) -> int:
        return 0

    @torch.jit.export
    def calc_buffering_delay_samples(self) -> int:
        return 0

    @torch.jit.export
    def recorded_sample_rate(self) -> int:
        return self.sample_rate

    @torch.jit.export
    def recorded_block_size(self) -> int:
        return self.block_size

    @torch.jit.export
    def recorded_warm_up_calls(self) -> int:
        return self.calls_before_reset


class RecordsPreparationFloatRate(RecordsPreparation):
    """RecordsPreparation whose set_daw_sample_rate_and_buffer_size answers with a float."""

    @torch.jit.export
    def set_daw_sample_rate_and_buffer_size(self, sample_rate: int, block_size: int) -> float:
        self.sample_rate = sample_rate
        self.block_size = block_size
        return 0.0


class ReturnsItsOwnState(ContractModel):
    """Returns a tensor it keeps (ones), except on the second call after reset(), which returns None."""

    def __init__(self):
        super().__init__()
        self.calls: int = 0
        self.state = torch.ones(2, 0)

    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        self.calls += 1
        if self.state.size(1) != x.size(1):
            self.state = torch.ones_like(x)
        if self.calls == 2:
            return None
        return self.state

    @torch.jit.export
    def reset(self) -> int:
        self.calls = 0
        return 0


class OutputSequence(ContractModel):
    """Answers each call after reset() differently, to show what the worker holds and pushes.

    call 1: the input tensor itself (shares storage with it); 2: raises; 3: None; 4: raises;
    5 and later: 3 x input.
    """

    def __init__(self):
        super().__init__()
        self.calls: int = 0

    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        self.calls += 1
        if self.calls == 1:
            return x
        if self.calls == 2 or self.calls == 4:
            raise RuntimeError("scripted failure")
        if self.calls == 3:
            return None
        return x * 3.0

    @torch.jit.export
    def reset(self) -> int:
        self.calls = 0
        return 0


class NonFiniteOutput(ContractModel):
    """Outputs `value` (NaN or an infinity) on the calls after reset() from `first` to `last`, and its
    input otherwise; last = 0 means for ever."""

    def __init__(self, value: float, first: int, last: int):
        super().__init__()
        self.value = value
        self.first = first
        self.last = last
        self.calls: int = 0

    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        self.calls += 1
        if self.calls >= self.first and (self.last == 0 or self.calls <= self.last):
            return torch.full_like(x, self.value)
        return x.clone()

    @torch.jit.export
    def reset(self) -> int:
        self.calls = 0
        return 0


class ThreeRowOutput(ContractModel):
    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        return torch.cat([x, x[0:1]], 0)


class Float64Output(ContractModel):
    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        return x.to(torch.float64)


class Int32Output(ContractModel):
    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        return torch.ones(2, x.size(1), dtype=torch.int32)


class LengthOutput(ContractModel):
    """Returns `numerator` / `denominator` times the block's length, less `shorter` samples."""

    def __init__(self, numerator: int, denominator: int, shorter: int):
        super().__init__()
        self.numerator = numerator
        self.denominator = denominator
        self.shorter = shorter

    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        n = x.size(1) * self.numerator // self.denominator - self.shorter
        return x.repeat(1, 2)[:, 0:n].contiguous()


class ReportsDelays(ContractModel):
    """Reports `delay` as both its model delay and its buffering delay."""

    def __init__(self, delay: int):
        super().__init__()
        self.delay = delay

    @torch.jit.export
    def calc_model_delay_samples(self) -> int:
        return self.delay

    @torch.jit.export
    def calc_buffering_delay_samples(self) -> int:
        return self.delay


class Gated(ContractModel):
    """A model call that does not come back until it is let go from outside.

    From its `stall_after`-th forward_bt after reset() on (and in calc_buffering_delay_samples when
    `stall_in_delay` is set; in set_daw_sample_rate_and_buffer_size from its call number
    `stall_rate_call` on, when that is 1 or more) it spins, as a model caught in a loop would, until
    `gate[0]` is set to 1 or more through the tensor's storage (a test holds the tensor and writes it
    while the call runs). `inside[0]` becomes 1 once a call has begun to spin, so that a test can
    tell when it is there.
    """

    def __init__(self, stall_after: int, stall_in_delay: bool, stall_rate_call: int = 0):
        super().__init__()
        self.gate = torch.zeros(1)
        self.inside = torch.zeros(1)
        self.calls: int = 0
        self.rate_calls: int = 0
        self.stall_after = stall_after
        self.stall_in_delay = stall_in_delay
        self.stall_rate_call = stall_rate_call

    def wait_for_gate(self) -> int:
        self.inside[0] = 1.0
        spins = 0
        while bool(self.gate[0] < 0.5):
            spins += 1
        return spins

    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        self.calls += 1
        if not self.stall_in_delay and self.calls > self.stall_after:
            self.wait_for_gate()
        return x.clone()

    @torch.jit.export
    def reset(self) -> int:
        self.calls = 0
        return 0

    @torch.jit.export
    def calc_buffering_delay_samples(self) -> int:
        if self.stall_in_delay:
            self.wait_for_gate()
        return 0

    @torch.jit.export
    def set_daw_sample_rate_and_buffer_size(self, sample_rate: int, block_size: int) -> int:
        self.rate_calls += 1
        if self.stall_rate_call > 0 and self.rate_calls >= self.stall_rate_call:
            self.wait_for_gate()
        self.sample_rate = sample_rate
        self.block_size = block_size
        return 0


class LoopsWhileLoading(ContractModel):
    """A file whose reading never ends: the loader runs its __setstate__, which loops for ever."""

    def __init__(self):
        super().__init__()
        self.spins: int = 0

    @torch.jit.export
    def __getstate__(self) -> Tuple[int, int, int, bool]:
        return (self.sample_rate, self.block_size, self.spins, self.training)

    @torch.jit.export
    def __setstate__(self, state: Tuple[int, int, int, bool]) -> None:
        self.sample_rate = state[0]
        self.block_size = state[1]
        self.training = state[3]
        self.spins = state[2]
        while self.spins >= 0:
            self.spins = (self.spins + 1) % 1000


FIXTURES = {
    "identity.pt": ContractModel,
    "gain2.pt": Gain,
    "param_echo.pt": ParamEcho,
    "last_param_echo.pt": LastParamEcho,
    "delays.pt": Delays,
    "counting_delays.pt": CountingDelays,
    "returns_none.pt": ReturnsNone,
    "half_length.pt": HalfLength,
    "costly.pt": Costly,
    "costly_with_delays.pt": CostlyWithDelays,
    "overlap_probe.pt": OverlapProbe,
    "raises_in_forward.pt": RaisesInForward,
    "raises_in_housekeeping.pt": RaisesInHousekeeping,
    "one_dimensional_output.pt": OneDimensionalOutput,
    "one_row_output.pt": OneRowOutput,
    "int64_output.pt": Int64Output,
    "strided_output.pt": StridedOutput,
    "no_reset.pt": NoReset,
    "no_buffering_delay.pt": NoBufferingDelay,
    "float_model_delay.pt": FloatModelDelay,
    "huge_model_delay.pt": HugeModelDelay,
    "no_output_gain_default.pt": NoOutputGainDefault,
    "int_wet_default.pt": IntWetDefault,
    "three_defaults.pt": ThreeDefaults,
    "raising_methods.pt": RaisingMethods,
    "defaults.pt": Defaults,
    "nan_default.pt": NanDefault,
    "sr_returns_none.pt": SampleRateReturnsNone,
    "sr_returns_float.pt": SampleRateReturnsFloat,
    "tone_source.pt": ToneSource,
    "records_preparation.pt": RecordsPreparation,
    "records_preparation_float_rate.pt": RecordsPreparationFloatRate,
    "output_sequence.pt": OutputSequence,
    "returns_its_own_state.pt": ReturnsItsOwnState,
    # Models that break the contract the way hostile or broken code would.
    "nan_always.pt": lambda: NonFiniteOutput(float("nan"), 1, 0),
    "nan_once.pt": lambda: NonFiniteOutput(float("nan"), 5, 5),
    "inf_once.pt": lambda: NonFiniteOutput(float("inf"), 5, 5),
    "three_row_output.pt": ThreeRowOutput,
    "float64_output.pt": Float64Output,
    "int32_output.pt": Int32Output,
    "one_short_output.pt": lambda: LengthOutput(1, 1, 1),
    "double_length_output.pt": lambda: LengthOutput(2, 1, 0),
    "delays_int_max.pt": lambda: ReportsDelays(2**31 - 1),
    "delays_int_min.pt": lambda: ReportsDelays(-(2**31)),
    "delays_minus_5.pt": lambda: ReportsDelays(-5),
    "delays_2_pow_40.pt": lambda: ReportsDelays(2**40),
    "gated_forward.pt": lambda: Gated(40, False),
    "gated_warm_up.pt": lambda: Gated(0, False),
    "gated_buffering_delay.pt": lambda: Gated(0, True),
    "loops_while_loading.pt": LoopsWhileLoading,
    # Its first preparation (the load's) goes through; the next one, for a new rate or block size,
    # stays.
    "gated_second_preparation.pt": lambda: Gated(1 << 30, False, 2),
}
