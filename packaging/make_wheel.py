"""Writes the manylinux wheel (packaging/build-wheel assemble) and prints its path.

usage: make_wheel.py SDIST PLATLIB LICENSES PLATFORM OUTDIR

The wheel holds the files of PLATLIB (the project's install rules' output) and a
.dist-info whose METADATA is the sdist's PKG-INFO, so the two agree field by field as
core metadata asks of a wheel and its sdist. The bundled libraries' licences (LICENSES,
with its VERSIONS list) go into .dist-info/licenses/third_party/, beside the project's
own LICENSE, which METADATA names."""

import base64
import hashlib
import sys
import tarfile
import zipfile
from email.parser import Parser
from pathlib import Path

# Fixed timestamps, so the same inputs give the same bytes.
DATE = (2020, 1, 1, 0, 0, 0)


def main(sdist: Path, platlib: Path, licenses: Path, platform: str, outdir: Path) -> Path:
    with tarfile.open(sdist) as archive:
        (top,) = {name.split("/")[0] for name in archive.getnames()}
        member = archive.extractfile(f"{top}/PKG-INFO")
        assert member is not None
        metadata = member.read().decode()
        project_licences = {
            name: archive.extractfile(f"{top}/{name}").read()  # type: ignore[union-attr]
            for name in Parser().parsestr(metadata).get_all("License-File", [])
        }
    fields = Parser().parsestr(metadata, headersonly=True)
    name, version = fields["Name"], fields["Version"]
    tag = f"cp314-cp314-{platform}"
    info = f"{name}-{version}.dist-info"

    files: dict[str, bytes] = {}
    for path in sorted(p for p in platlib.rglob("*") if p.is_file()):
        files[path.relative_to(platlib).as_posix()] = path.read_bytes()
    files[f"{info}/METADATA"] = metadata.encode()
    files[f"{info}/WHEEL"] = (
        f"Wheel-Version: 1.0\nGenerator: tarvo_sdk packaging/make_wheel.py\n"
        f"Root-Is-Purelib: false\nTag: {tag}\n"
    ).encode()
    for licence, text in project_licences.items():
        files[f"{info}/licenses/{licence}"] = text
    for path in sorted(p for p in licenses.rglob("*") if p.is_file()):
        files[f"{info}/licenses/third_party/{path.relative_to(licenses).as_posix()}"] = path.read_bytes()

    record = [f"{path},sha256={digest(data)},{len(data)}" for path, data in files.items()]
    files[f"{info}/RECORD"] = ("\n".join(record + [f"{info}/RECORD,,"]) + "\n").encode()

    wheel = outdir / f"{name}-{version}-{tag}.whl"
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
        for path, data in files.items():
            entry = zipfile.ZipInfo(path, DATE)
            entry.external_attr = (0o755 if path.endswith(".so") else 0o644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, data)
    return wheel


def digest(data: bytes) -> str:
    return base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


if __name__ == "__main__":
    sdist, platlib, licenses, platform, outdir = sys.argv[1:]
    print(main(Path(sdist), Path(platlib), Path(licenses), platform, Path(outdir)))
