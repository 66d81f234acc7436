#!/usr/bin/env bash
# The main job: builds hexburn and hexflash, burns the example image into a
# simulated board whose flash is the file build/demo-flash.bin with hexburn,
# then shows hexflash on a second simulated board (build/demo-flash2.bin):
# list, id, write, verify, and a second write that finds everything in place.
# Each figure printed is explained in a line.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
hexburn=./build/release/src/hexburn/hexburn
hexflash=./build/release/src/hexflash/hexflash

# The simulated board's report, one figure a line, each with what it means.
explain_report() {
    local -A meaning=(
        [virtual_seconds]="the time the run would take on a real board (the simulator's clock)"
        [usb_writes]="USB writes to the FT2232H"
        [usb_reads]="USB reads from it"
        [bytes_out]="bytes sent to the FT2232H: MPSSE commands and the data they carry"
        [bytes_in]="bytes it sent back: what the flash answered, and echoes"
        [spi_transactions]="instructions sent to the flash, one chip-select each"
        [page_programs]="256-byte pages the flash programmed"
        [sector_erases]="64 KiB sectors it erased"
        [bulk_erases]="whole-chip erases"
        [sk_cycles]="SPI clock cycles, every bit in and out"
        [bad_commands]="MPSSE opcodes refused: the set-up sends bogus ones on purpose and checks they come back refused (in sync)"
        [erases_4k]="erases by size, 4 KiB"
        [erases_32k]="erases by size, 32 KiB"
        [erases_64k]="erases by size, 64 KiB"
        [chip_erases]="erases of the whole chip"
    )
    sed -n 's/^ *"\([a-z_0-9]*\)": *\([^,]*\),\{0,1\}$/\1 \2/p' "$1" | while read -r key value; do
        printf '  %-17s %-12s %s\n' "$key" "$value" "${meaning[$key]:-}"
    done
}

echo "== hexburn: the classic program burns examples/demo.hex"
HEXBURN_DRIVER=sim:flash=build/demo-flash.bin,report=build/demo-report.json \
    "$hexburn" examples/demo.hex
echo
echo "The simulated chip is now the file build/demo-flash.bin (2 MiB; every image byte"
echo "bit-reversed at its address, the rest 0xFF). Its first bytes:"
od -A x -t x1 -N 64 build/demo-flash.bin
echo "The board's report:"
explain_report build/demo-report.json

echo
echo "== hexflash: the toolbox, on a second simulated board (build/demo-flash2.bin)"
rm -f build/demo-flash2.bin build/demo-flash2.bin.status
export HEXBURN_DRIVER=sim:flash=build/demo-flash2.bin,report=build/demo-report2.json
echo "\$ hexflash list      (number, serial, description, USB location of each board)"
"$hexflash" list
echo "\$ hexflash id        (the flash's JEDEC ID and which sectors are write-protected)"
"$hexflash" id
echo "\$ hexflash write examples/demo.hex"
"$hexflash" write examples/demo.hex
echo "  (each of the 32 sectors of 64 KiB is in one class: erased; programmed without"
echo "   an erase, when only 1 bits had to become 0; already right; or untouched)"
echo "\$ hexflash verify examples/demo.hex   (reads the whole chip and compares it)"
"$hexflash" verify examples/demo.hex
echo "\$ hexflash write examples/demo.hex   (again: everything is in place already)"
"$hexflash" write examples/demo.hex
echo "  (0 erased and 0 pages programmed: the chip was read, found right, and left alone)"
echo "The board's report for that last write:"
explain_report build/demo-report2.json
if cmp -s build/demo-flash.bin build/demo-flash2.bin; then
    echo "Both chips are byte for byte the same: hexflash leaves what hexburn leaves."
else
    echo "The two chips differ!" >&2
    exit 1
fi

echo
echo "== the line: four boards through watch, each its own serial and MAC, one record store"
line=build/demo-line
rm -rf "$line"
mkdir -p "$line"
# The line's state (spool) stays in the demo's folder, not the user's.
export XDG_STATE_HOME=$PWD/$line/state
export HEXFLASH_DB=sqlite:$line/line.db
echo "\$ hexflash db init; hexflash pool add serial ...; hexflash pool add mac ..."
"$hexflash" db init
"$hexflash" pool add serial --first 1 --last 999999 --form ascii:6 --prefix OXA2-
"$hexflash" pool add mac --first 02:00:00:00:00:00 --last 02:00:00:00:ff:ff --form mac
echo "0 1 2 3" >"$line/present"
echo "\$ hexflash watch examples/demo.hex --count 4 --field serial@0x1FF000 --field mac@0x1FF100"
HEXBURN_DRIVER="sim:boards=4,chip=w25q16jv,uid=d5e1a7c04b000000,timing=zero,flash=$line/chip%d.bin,present=$line/present" \
    "$hexflash" watch examples/demo.hex --count 4 --field serial@0x1FF000 --field mac@0x1FF100
echo "\$ hexflash history   (the store's records, newest first: each board's unique ID and values)"
"$hexflash" history
echo "\$ hexflash pool list"
"$hexflash" pool list
echo "\$ hexflash report --since 2000-01-01 --html $line/report.html   (the line's page, offline)"
"$hexflash" report --since 2000-01-01 --html "$line/report.html"
