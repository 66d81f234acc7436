#!/usr/bin/env bash
# Makes the benchmark image with srecord: 2 MiB (the whole M25P16) of text in
# 16-byte Intel HEX records, 131,072 data records, a type 04 record every
# 64 KiB and the end-of-file record.
#
#   bench/make_image.sh OUT            the image
#   bench/make_image.sh OUT --refused  the same, but in place of the end-of-file
#                                      record it ends with a base of 0x200000
#                                      and a data record there, just past the
#                                      chip: hexburn reads the whole file and
#                                      refuses it on its last line, erasing
#                                      nothing, while objcopy and srec_cat
#                                      convert it (srec_cat warns that the
#                                      end-of-file record is missing)
set -euo pipefail

out=${1:?usage: make_image.sh OUT [--refused]}
srec_cat -generate 0 0x200000 \
    -repeat-string "hexburn benchmark image: two mebibytes of sixteen-byte records. " \
    -o "$out" -intel -obs=16
if [[ ${2:-} == --refused ]]; then
    if [[ $(tail -n 1 "$out") != ":00000001FF" ]]; then
        echo "make_image: srec_cat left no end-of-file line to replace" >&2
        exit 1
    fi
    sed -i '$ d' "$out"
    printf '%s\n' ":020000040020DA" ":1000000000000000000000000000000000000000F0" >>"$out"
fi
