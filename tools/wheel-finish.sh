# Sourced by tools/wheel and tools/wheel-aarch64: what turns a wheel just
# built into the one we ship, and the first check of it once installed.
#
# The manylinux tag we promise at most: glibc 2.34 with its libstdc++ (RHEL
# 9 and its rebuilds, Ubuntu 22.04, Debian 12). A symbol from a newer
# system fails the finish rather than lifting the tag unseen.
newest_glibc=34

# finish_wheel PY WORK DOC_ROOT: repairs the one wheel in WORK/raw with
# auditwheel (which copies libsimdjson, libisal and libzstd into it and
# gives it the best
# manylinux tag its libraries allow, which must be no newer than above),
# adds the licence texts of what it carries in compiled form (simdjson,
# ISA-L, zstd, and the headers of xxhash and fast_float; from
# DOC_ROOT/usr/share/doc), packs
# it into dist/ and sets `wheel_file` to its path. PY is a host Python
# with auditwheel and wheel; a cross-built wheel's libraries are found
# through LD_LIBRARY_PATH.
finish_wheel() {
  local py=$1 work=$2 doc_root=$3
  rm -rf "$work/repaired" "$work/unpacked"
  echo "== repairing"
  "$py" -m auditwheel repair -w "$work/repaired" "$work"/raw/*.whl 2>&1 | grep -v '^INFO:' || true
  local repaired glibc
  repaired=$(ls "$work"/repaired/*.whl)
  # (A cross-built wheel cannot be asked for a tag: auditwheel offers only
  # the host's architecture to --plat.)
  glibc=$(basename "$repaired" | sed -n 's/.*-manylinux_2_\([0-9]*\)_.*/\1/p')
  if [ -z "$glibc" ] || [ "$glibc" -gt "$newest_glibc" ]; then
    echo "$(basename "$repaired") needs more than manylinux_2_$newest_glibc;" \
         "auditwheel show says why" >&2
    exit 1
  fi

  echo "== adding licences"
  "$py" -m wheel unpack -d "$work/unpacked" "$repaired" >/dev/null
  local root dist_info
  root=$(ls -d "$work"/unpacked/*)
  dist_info=$(ls -d "$root"/*.dist-info)
  add_licence() {  # name, Debian package whose copyright file holds the text
    local file=$doc_root/usr/share/doc/$2/copyright
    [ -f "$file" ] || { echo "missing $file (install $2)" >&2; exit 1; }
    mkdir -p "$dist_info/licenses/$1"
    cp "$file" "$dist_info/licenses/$1/copyright"
    # The metadata lists every licence file (paths below licenses/).
    sed -i "/^License-File: /{p;s|.*|License-File: $1/copyright|;}" "$dist_info/METADATA"
  }
  add_licence simdjson libsimdjson-dev
  add_licence isa-l libisal-dev
  add_licence zstd libzstd-dev
  add_licence xxhash libxxhash-dev
  add_licence fast_float libfast-float-dev
  # No two copies of the same line when the wheel had several License-File lines.
  awk '!(/^License-File: / && seen[$0]++)' "$dist_info/METADATA" > "$dist_info/METADATA.new"
  mv "$dist_info/METADATA.new" "$dist_info/METADATA"
  mkdir -p dist
  rm -f dist/"$(basename "$repaired")"
  "$py" -m wheel pack -d dist "$root" >/dev/null
  wheel_file=dist/$(basename "$repaired")
  [ -f "$wheel_file" ] || { echo "wheel pack did not write $wheel_file" >&2; exit 1; }
  echo "$wheel_file"
}

# Python code for a Python that has the wheel installed, run from the
# checkout: a query over a document and over gzip and zstd data, and the
# proof that the process mapped the wheel's own libsimdjson, libisal and
# libzstd and no other.
# shellcheck disable=SC2034  # used by the scripts that source this one
wheel_check='
import gzip, tamsel_vonk
program = tamsel_vonk.compile(".books.[] | select(.price < 10) | .title")
with open("examples/sample.json", encoding="utf-8") as f:
    print(list(program.input(f.read())))
zstd_frame = bytes.fromhex("28b52ffd0058390000") + b"[1,2,3]"  # zstd -c --no-check
assert list(tamsel_vonk.compile(".[]").stream(gzip.compress(b"[1,2,3]"))) == [1, 2, 3]
assert list(tamsel_vonk.compile(".[]").stream(zstd_frame)) == [1, 2, 3]
maps = [line.split()[-1] for line in open("/proc/self/maps")]
for name in ("simdjson", "isal", "zstd"):
    mapped = {path for path in maps if "/lib" + name in path}
    bundled = [path for path in mapped if "/tamsel_vonk.libs/" in path]
    assert bundled and len(mapped) == 1, f"lib{name} mapped from {sorted(mapped)}"
    print("lib" + name, "from", bundled[0].split("/site-packages/")[-1])
'
