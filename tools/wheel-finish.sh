# Sourced by tools/wheel and tools/wheel-aarch64: what turns a wheel just
# built into the one we ship.
#
# finish_wheel PY WORK DOC_ROOT: repairs the one wheel in WORK/raw with
# auditwheel (which copies libsimdjson into it and gives it the best
# manylinux tag its libraries allow), adds the licence texts of what it
# carries in compiled form (simdjson, and the headers of xxhash and
# fast_float; from DOC_ROOT/usr/share/doc), packs it into dist/ and sets
# `wheel_file` to its path. PY is a host Python with auditwheel and wheel;
# a cross-built wheel's libraries are found through LD_LIBRARY_PATH.
finish_wheel() {
  local py=$1 work=$2 doc_root=$3
  rm -rf "$work/repaired" "$work/unpacked"
  echo "== repairing"
  "$py" -m auditwheel repair -w "$work/repaired" "$work"/raw/*.whl 2>&1 | grep -v '^INFO:' || true
  local repaired
  repaired=$(ls "$work"/repaired/*.whl)
  case "$repaired" in *manylinux*) ;; *) echo "auditwheel gave no manylinux wheel" >&2; exit 1 ;; esac

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
