"""Writes a pass-through model whose file is about SIZE_MB megabytes: for timing large loads.

usage: make_large_model.py OUTPUT_FILE [SIZE_MB]   (default 1024)
"""
import os
import sys
from typing import Optional

import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from contract import ContractModel  # noqa: E402


class LargePassthrough(ContractModel):
    def __init__(self, megabytes: int):
        super().__init__()
        self.weights = torch.zeros(megabytes * 1024 * 1024 // 4)

    @torch.jit.export
    def forward_bt(self, x: torch.Tensor, p: torch.Tensor) -> Optional[torch.Tensor]:
        return x


def main() -> None:
    megabytes = int(sys.argv[2]) if len(sys.argv) > 2 else 1024
    torch.jit.script(LargePassthrough(megabytes)).save(sys.argv[1])


if __name__ == "__main__":
    main()
