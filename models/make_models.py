"""Writes the example models and the test fixtures as TorchScript files.

usage: make_models.py OUTPUT_DIR   (examples go to OUTPUT_DIR/examples, fixtures to OUTPUT_DIR/fixtures)
"""
import os
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from contract import EXAMPLES, save  # noqa: E402
from fixtures import FIXTURES  # noqa: E402


def write_with_unparsable_code(source: str, target: str) -> None:
    """Copies a TorchScript archive with its code made unparsable: the loader then fails in the
    script compiler, which raises its own exception types rather than the runtime's error."""
    with zipfile.ZipFile(source) as archive_in, zipfile.ZipFile(target, "w") as archive_out:
        for item in archive_in.infolist():
            data = archive_in.read(item.filename)
            if item.filename.endswith(".py"):
                data = data.replace(b"def forward_bt(", b"def forward_bt !(", 1)
            archive_out.writestr(item, data)


def write_crashing_the_loader(source: str, target: str) -> None:
    """Copies a TorchScript archive with the first opcode of its pickled module turned into a
    persistent-id load with nothing on the stack: the runtime's loader then dies with a
    segmentation fault instead of reporting an error (libtorch 1.13)."""
    data = bytearray(open(source, "rb").read())
    start = data.index(b"\x80\x02c__torch__")
    data[start + 2] = ord("Q")
    with open(target, "wb") as f:
        f.write(data)


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
    write_with_unparsable_code(os.path.join(fixtures, "identity.pt"), os.path.join(fixtures, "unparsable_code.pt"))
    write_crashing_the_loader(os.path.join(fixtures, "identity.pt"), os.path.join(fixtures, "crashes_loader.pt"))


if __name__ == "__main__":
    main()
