# The updatable bridges, one row each, and the file each is updated with,
# and the helpers the update scripts share: sourced by the scripts in tests/cli.

# Code 10 shares its model tag with code 9 and identification always finds
# 9 first: no bridge is ever identified as 10, so no preset can stand for it.
#
# case name | device preset | new version and file options | kept ranges OFF+LEN (flash) | expect
# expect: ok, or known (a known failure, see the comment on its line).
cases=(
    "1 alder|alder|version=9.8|0x8000+512|ok"
    "3 cedar|cedar|version=9.8|0x8000+512|ok"
    "4 cedar-a3|cedar-a3|version=9.8|0x8000+512|ok"
    "5 elm|elm|ext=2.3.4.5|0x8000+512|ok"
    "7 ginkgo|ginkgo|ext=2.3.4.5|0+4096|ok"
    "8 usb|hazel|version=9.8|0x8000+512|ok"
    "8 1394|hazel-1394|version=9.8|0x8000+1024|ok"
    "9 juniper|juniper|ext=2.3.4.5,nvram=1|0+4096|ok"
    "11 sst|larch|ext=2.3.4.5|-|ok"
    # Bytes 128-207 of the settings area come from the file.
    "11 non-sst|larch:flash=M25P40|ext=2.3.4.5|0+128 208+3888|ok"
    "12 block-wise|maple|ext=2.3.4.5,nvram=1|0+4096|ok"
    "12 assisted|maple:fwassist=1|ext=2.3.4.5,nvram=1|0+4096|ok"
    # The SST variant erases with the bridge's own sector erase; the bridge
    # lifts the protection an SST part powers up with.
    "12 sst|maple:flash=SST25VF040B,chiprev=B4|ext=2.3.4.5,nvram=1|-|ok"
    "13 nutmeg|nutmeg|ext=2.3.4.5|0xC000+4096|ok"
    "14 willow|willow|exttext=2345|0xC000+4096|ok"
    "14 teak|teak|exttext=2345|0xC000+4096|ok"
    "14 yew|yew|exttext=2345|0xC000+4096|ok"
    # Codes 15 to 18 take a file through the buffer path when the running
    # firmware is version 3 with extended version 1F 19 01 05.
    "15 pine|pine:version=3.0,ext=31.25.1.5|exttext=2345|-|ok"
    "16 quince|quince:version=3.0,ext=31.25.1.5|exttext=2345|-|ok"
    "17 rowan|rowan:version=3.0,ext=31.25.1.5|exttext=2345|-|ok"
    "18 spruce|spruce:version=3.0,ext=31.25.1.5|exttext=2345|-|ok"
    "26 oak|oak|version=9.8|-|ok"
    "27 aspen|aspen|ext=2.3.4.5|0x8000+4096|ok"
    "28 baobab|baobab|ext=2.3.4.5|0x8000+512|ok"
    "30 flash|elm-e|ext=2.3.4.5|0x8000+512|ok"
    "30 disk|elm-e-disk|ext=2.3.4.5|-|ok"
)

# The device preset with the new options on top (ext and exttext are one field).
merged() {
    local device=$1 new=$2 name opts key out=""
    name=${device%%:*}
    opts=""
    [[ $device == *:* ]] && opts=${device#*:}
    local newkeys=",$(sed -e 's/=[^,]*//g' <<<"$new"),"
    [[ $newkeys == *,exttext,* ]] && newkeys="$newkeys,ext,"
    IFS=, read -ra items <<<"$opts"
    for item in "${items[@]}"; do
        key=${item%%=*}
        [[ $newkeys == *",$key,"* ]] || out="$out$item,"
    done
    echo "$name:$out$new"
}

# Random bytes over the flash ranges OFF+LEN ("-": none) of a simulated
# state's flash file: the device's own settings, which an update must keep.
seed_kept() {
    local flash=$1 range
    [ "$2" = - ] && return
    for range in $2; do
        head -c $((${range#*+})) /dev/urandom |
            dd of="$flash" bs=1 seek=$((${range%+*})) conv=notrunc status=none
    done
}

# A file past one erase unit, and the same with one byte changed: FILE with
# 160 KiB of random bytes after it goes to A, and A with its byte at 150 KiB
# flipped to B.
one_sector_change() {
    local file=$1 a=$2 b=$3
    (cat "$file" && head -c $((160 * 1024)) /dev/urandom) >"$a"
    /usr/bin/python3 -c '
import sys
b = bytearray(open(sys.argv[1], "rb").read())
b[150 * 1024] ^= 0xFF
open(sys.argv[2], "wb").write(b)' "$a" "$b"
}

# Sanitized builds run the slowest scripts on every BRIGANT_ROWS_EVERY-th row
# only (CMake sets it there; their runs are several times slower); the normal
# build runs every row.
if [ "${BRIGANT_ROWS_EVERY:-1}" -gt 1 ]; then
    sampled=()
    for i in "${!cases[@]}"; do
        ((i % BRIGANT_ROWS_EVERY == 0)) && sampled+=("${cases[$i]}")
    done
    cases=("${sampled[@]}")
fi
