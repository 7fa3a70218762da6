#!/usr/bin/env bash
# Builds the block codec benchmark corpus (about 100 MiB) in the given directory, one
# file per category: text, binary, bitmap, audio, repetitive, random. The text and
# binary categories come from this machine's headers and programs (sorted, so the same
# machine always gives the same bytes); the others are synthetic and fixed.
set -euo pipefail
out=${1:?usage: corpus.sh OUTPUT_DIR}
mkdir -p "$out"
MiB=$((1024 * 1024))

# Text: a tar of the system headers, in name order with fixed metadata.
tar --sort=name --mtime='2000-01-01 00:00:00' --owner=0 --group=0 --numeric-owner \
    -cf - -C /usr include 2>/dev/null | head -c $((32 * MiB)) > "$out/text.tar" || true

# Binaries: program and shared-library images, in name order.
{
  find /usr/bin -maxdepth 1 -type f -size +16k -print0 | sort -z | xargs -0 cat 2>/dev/null | head -c $((16 * MiB)) || true
  find /usr/lib -maxdepth 2 -type f -name '*.so*' -size +16k -print0 | sort -z | xargs -0 cat 2>/dev/null | head -c $((8 * MiB)) || true
} > "$out/binary.bin"

python3 - "$out" <<'PY'
import math, random, struct, sys, zlib
out = sys.argv[1]
MiB = 1 << 20
rng = random.Random(20240611)

# Bitmaps: 24-bit BMP images with gradients, filled shapes, text-like strokes and some
# sensor noise, 1024 x 1024 each, four of them (12 MiB).
def bitmap(seed):
    r = random.Random(seed)
    w = h = 1024
    rows = []
    shapes = [(r.randrange(w), r.randrange(h), r.randrange(20, 200), [r.randrange(256) for _ in range(3)]) for _ in range(40)]
    for y in range(h):
        row = bytearray(w * 3)
        for x in range(w):
            b = (x * 255 // w)
            g = (y * 255 // h)
            rr = ((x ^ y) & 0x3F) + 96
            for cx, cy, rad, col in shapes[:8]:
                if abs(x - cx) < rad and abs(y - cy) < rad // 2:
                    b, g, rr = col
            i = 3 * x
            n = r.randrange(4) if (x + y) % 3 == 0 else 0
            row[i] = (b + n) & 0xFF
            row[i + 1] = (g + n) & 0xFF
            row[i + 2] = (rr + n) & 0xFF
        rows.append(bytes(row))
    pixels = b''.join(reversed(rows))
    head = b'BM' + struct.pack('<IHHI', 54 + len(pixels), 0, 0, 54)
    info = struct.pack('<IiiHHIIiiII', 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    return head + info + pixels
with open(f'{out}/bitmap.bmp', 'wb') as f:
    for k in range(4):
        f.write(bitmap(1000 + k))

# Audio: 16-bit stereo PCM at 44.1 kHz, a few minutes of chords, decays and a little
# noise (12 MiB).
frames = (12 * MiB - 44) // 4
pcm = bytearray(frames * 4)
notes = [220.0, 277.18, 329.63, 440.0, 554.37, 659.25]
for i in range(frames):
    t = i / 44100.0
    beat = (i // 22050) % len(notes)
    env = math.exp(-((i % 22050) / 9000.0))
    f1 = notes[beat]
    f2 = notes[(beat + 2) % len(notes)]
    s = env * (0.45 * math.sin(2 * math.pi * f1 * t) + 0.25 * math.sin(2 * math.pi * f2 * t))
    left = int(s * 20000) + rng.randrange(-60, 61)
    right = int(s * 17000 * math.cos(t * 0.7)) + rng.randrange(-60, 61)
    struct.pack_into('<hh', pcm, 4 * i, max(-32768, min(32767, left)), max(-32768, min(32767, right)))
with open(f'{out}/audio.wav', 'wb') as f:
    f.write(b'RIFF' + struct.pack('<I', 36 + len(pcm)) + b'WAVEfmt ' +
            struct.pack('<IHHIIHH', 16, 1, 2, 44100, 44100 * 4, 4, 16) + b'data' + struct.pack('<I', len(pcm)))
    f.write(pcm)

# Highly repetitive: a log whose lines repeat with small changes, plus long runs of
# identical records (10 MiB).
lines = []
size = 0
n = 0
while size < 10 * MiB:
    if n % 5000 < 3000:
        line = 'frame %08d state=ok queue=%d player=%s\n' % (n, n % 7, ('alpha', 'beta', 'gamma')[n % 3])
    else:
        line = 'frame ######## state=idle queue=0 player=none padding=' + 'x' * 40 + '\n'
    lines.append(line)
    size += len(line)
    n += 1
with open(f'{out}/repetitive.log', 'wb') as f:
    f.write(''.join(lines).encode()[:10 * MiB])

# Random: 10 MiB from a fixed seed.
with open(f'{out}/random.bin', 'wb') as f:
    f.write(rng.randbytes(10 * MiB))
PY
ls -l "$out"
