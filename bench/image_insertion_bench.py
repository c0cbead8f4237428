#!/usr/bin/env python3
"""Times image insertion beside the peers' command-line tools on the same files, in one run.

Builds a Release build of bench/image_insertion_bench (in build-bench/ unless --build is given),
generates a 1 MB SVG and a 20-megapixel picture as PNG and as WebP, then times, best of --runs,
and prints the ratio (ours / peer; below 1.0 is faster):
  SVG insertion (optimiser included)   vs  svgo alone
  WebP insertion (decoded, kept as PNG) vs  dwebp to PNG
  PNG insertion (checked, kept as is)   vs  identify (ImageMagick)
"""
import argparse, os, random, subprocess, sys, tempfile, time, zlib, struct

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

def build(folder):
    subprocess.run(['cmake', '-S', root, '-B', folder, '-G', 'Ninja', '-DCMAKE_BUILD_TYPE=Release',
                    '-DKORVEL_BUILD_BENCH=ON', '-DKORVEL_CORE_ONLY=ON', '-DKORVEL_BUILD_TESTS=OFF'],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', folder, '-j', '3', '--target', 'image_insertion_bench'], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(folder, 'bench', 'image_insertion_bench')

def svg(path, megabytes):
    rng = random.Random(5)
    parts = ['<svg xmlns="http://www.w3.org/2000/svg" width="1000" height="800" viewBox="0 0 1000 800">\n']
    size = len(parts[0])
    while size < megabytes * 1024 * 1024:
        points = ' '.join('%.3f,%.3f' % (rng.uniform(0, 1000), rng.uniform(0, 800)) for _ in range(12))
        part = '  <g transform="translate(0.000,0.000)"><polyline fill="none" stroke="#%06x" stroke-width="1.000" ' \
               'points="%s"/></g>\n' % (rng.randrange(1 << 24), points)
        parts.append(part)
        size += len(part)
    parts.append('</svg>\n')
    with open(path, 'w') as f:
        f.write(''.join(parts))

def png(path, width, height):
    """A smooth gradient with noise, so it compresses like a photograph more than like a flat fill."""
    rng = random.Random(9)
    noise = bytes(rng.randrange(16) for _ in range(4096))
    rows = []
    for y in range(height):
        row = bytearray(width * 3)
        base = (y * 255) // height
        for x in range(0, width * 3, 3):
            n = noise[(x + y * 7) % 4096]
            row[x] = (base + n) & 255
            row[x + 1] = ((x // 3) * 255 // width + n) & 255
            row[x + 2] = 128
        rows.append(b'\0' + bytes(row))
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data) & 0xffffffff)
    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0)) +
                chunk(b'IDAT', zlib.compress(b''.join(rows), 6)) + chunk(b'IEND', b''))

def seconds(command, env=None):
    start = time.perf_counter()
    result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    if result.returncode != 0:
        sys.exit('failed: %s: %s' % (' '.join(command), result.stderr.decode()))
    return time.perf_counter() - start

def best(command, runs, env=None):
    return min(seconds(command, env) for _ in range(runs))

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--build', help='an existing build folder with image_insertion_bench')
    parser.add_argument('--runs', type=int, default=3)
    args = parser.parse_args()
    binary = os.path.join(args.build, 'bench', 'image_insertion_bench') if args.build else \
        build(os.path.join(root, 'build-bench'))
    env = dict(os.environ, KORVEL_RESOURCES=os.path.join(root, 'resources'))
    node = os.path.join(root, 'resources', 'Node', 'bin', 'node')
    if not os.path.exists(node):
        node = 'node'
    svgo = os.path.join(root, 'resources', 'SVGO', 'node_modules', '.bin', 'svgo')
    with tempfile.TemporaryDirectory() as work:
        drawing, picture, webp = (os.path.join(work, n) for n in ('drawing.svg', 'picture.png', 'picture.webp'))
        svg(drawing, 1)
        png(picture, 5472, 3648)  # 20 megapixels
        subprocess.run(['cwebp', '-quiet', '-q', '80', picture, '-o', webp], check=True)
        rows = [
            ('SVG 1 MB, optimiser included', [binary, 'svg', drawing],
             [node, svgo, '-i', drawing, '-o', os.path.join(work, 'out.svg'), '--multipass'], 'svgo'),
            ('WebP 20 MP, kept as PNG', [binary, 'image', webp], ['dwebp', webp, '-o', os.path.join(work, 'o.png')],
             'dwebp'),
            ('PNG 20 MP, kept as is', [binary, 'image', picture], ['identify', picture], 'identify'),
        ]
        print('%-32s %10s %10s %8s  peer' % ('insertion', 'ours s', 'peer s', 'ratio'))
        for name, ours, peer, label in rows:
            a = best(ours, args.runs, env)
            b = best(peer, args.runs)
            print('%-32s %10.3f %10.3f %8.2f  %s' % (name, a, b, a / b, label))

if __name__ == '__main__':
    main()
