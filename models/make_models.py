"""Writes the example models and the test fixtures as TorchScript files.

usage: make_models.py OUTPUT_DIR   (examples go to OUTPUT_DIR/examples, fixtures to OUTPUT_DIR/fixtures)
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from contract import EXAMPLES, save  # noqa: E402
from fixtures import FIXTURES  # noqa: E402


def main() -> None:
    out = sys.argv[1]
    for folder, models in (("examples", EXAMPLES), ("fixtures", FIXTURES)):
        os.makedirs(os.path.join(out, folder), exist_ok=True)
        for name, cls in models.items():
            save(cls(), os.path.join(out, folder, name))

    fixtures = os.path.join(out, "fixtures")
    with open(os.path.join(fixtures, "not_torchscript.pt"), "w") as f:
        f.write("this is not a TorchScript archive\n")
    with open(os.path.join(fixtures, "empty.pt"), "wb"):
        pass


if __name__ == "__main__":
    main()
