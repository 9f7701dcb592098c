#!/usr/bin/env bash
# Installs a kelvane .deb on a fresh Debian 12 system (a minbase debootstrap chroot) with apt-get,
# so its Depends must resolve from Debian alone; converts a font, an image and an audio file with
# /usr/bin/kelvane there; purges the package and its dependencies and lists what is left behind.
# Needs root and the Debian mirror. The pristine base is kept in $KV_CHROOT_DIR/base for reuse.
#   scripts/chroot_check.sh <kelvane.deb>
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
deb="$(realpath "$1")"
top="${KV_CHROOT_DIR:-/var/tmp/kelvane-chroot}"
mirror="${KV_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
[ "$(id -u)" -eq 0 ] || { echo "chroot check: needs root" >&2; exit 1; }

mkdir -p "$top"
if [ ! -x "$top/base/usr/bin/apt-get" ]; then
    command -v debootstrap >/dev/null || apt-get install -y -qq debootstrap >/dev/null
    rm -rf "$top/base.tmp"
    debootstrap --variant=minbase bookworm "$top/base.tmp" "$mirror" >&2
    mv "$top/base.tmp" "$top/base"
fi

root="$top/run"
unmount() {
    for m in proc dev/pts dev; do
        if mountpoint -q "$root/$m"; then umount -l "$root/$m"; fi
    done
}
trap unmount EXIT
unmount
rm -rf "$root"
cp -a "$top/base" "$root"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb ${mirror%/debian}/debian-security bookworm-security main
EOF
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root DEBIAN_FRONTEND=noninteractive "$@"; }

# What a fresh system holds, to compare with after the purge.
listing() {
    in_root find / -xdev \( -path /proc -o -path /dev -o -path /tmp -o -path /var/cache/apt \
        -o -path /var/lib/apt/lists -o -path /var/log -o -path /var/cache/debconf \
        -o -path /var/lib/dpkg \) -prune -o -print | sort
}
in_root apt-get update -qq
listing >"$top/before.txt"
installed() { in_root dpkg-query -W -f '${db:Status-Status} ${Package}\n' | awk '$1 == "installed" { print $2 }' | sort; }
installed >"$top/packages-before.txt"

cp "$deb" "$root/tmp/"
echo "chroot check: apt-get install ./$(basename "$deb")" >&2
in_root apt-get install -y -qq "/tmp/$(basename "$deb")" >"$top/install.log" 2>&1 ||
    { tail -n 30 "$top/install.log" >&2; exit 1; }
echo "chroot check: $(grep -c '^Setting up' "$top/install.log") packages set up" >&2
in_root dpkg -L kelvane >"$top/kelvane-files.txt"

mkdir -p "$root/tmp/in" "$root/tmp/out"
cp /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf "$root/tmp/in/"
cp "$here/packaging/icons/48/kelvane.png" "$root/tmp/in/icon.png"
python3 -c 'import math,struct,sys,wave
w=wave.open(sys.argv[1],"wb"); w.setnchannels(1); w.setsampwidth(2); w.setframerate(44100)
w.writeframes(b"".join(struct.pack("<h",int(8000*math.sin(i*2*math.pi*440/44100))) for i in range(44100)))
w.close()' "$root/tmp/in/tone.wav"
[ "$(in_root sh -c 'command -v kelvane')" = "/usr/bin/kelvane" ] || { echo "chroot check: kelvane not on PATH" >&2; exit 1; }
# The last two make a GIF and turn it into H.264 video (libavfilter, opened at run time).
for job in "in/DejaVuSans.ttf woff2" "in/icon.png jpeg" "in/tone.wav m4a" "in/icon.png heic" \
    "in/tone.wav mp3" "in/icon.png gif" "out/icon.gif mp4"; do
    set -- $job
    out="$(in_root kelvane --convert "/tmp/$1" "$2" /tmp/out 2>>"$top/convert.log")" ||
        { tail -n 20 "$top/convert.log" >&2; echo "chroot check: $1 -> $2 failed" >&2; exit 1; }
    echo "chroot check: kelvane --convert $1 $2 -> $out ($(stat -c %s "$root$out") bytes)" >&2
done

in_root apt-get remove --purge -y -qq kelvane >"$top/remove.log" 2>&1
left=0
while read -r f; do
    if [ -e "$root$f" ] && [ ! -d "$root$f" ]; then
        echo "chroot check: left behind: $f" >&2
        left=1
    fi
done <"$top/kelvane-files.txt"
in_root apt-get autoremove --purge -y -qq >>"$top/remove.log" 2>&1
rm -rf "$root/tmp/"*
listing >"$top/after.txt"
# Dependencies' own leftovers (packages that autoremove keeps, files their purge keeps) are
# listed in short; anything of ours fails the check.
installed >"$top/packages-after.txt"
kept="$(comm -13 "$top/packages-before.txt" "$top/packages-after.txt" | tr '\n' ' ')"
[ -z "$kept" ] || echo "chroot check: packages that apt-get autoremove keeps: $kept" >&2
diff "$top/before.txt" "$top/after.txt" >"$top/leftover.txt" || true
echo "chroot check: $(grep -c '^>' "$top/leftover.txt") paths more than on the fresh system" \
    "(all listed in $top/leftover.txt); $(grep -c '^<' "$top/leftover.txt") fewer" >&2
if grep -i kelvane "$top/leftover.txt" >&2; then left=1; fi
[ "$left" -eq 0 ] && echo "chroot check: purged; nothing left behind" >&2
exit "$left"
