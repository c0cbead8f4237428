#!/usr/bin/env python3
"""Times export rendering beside headless Chromium on the same HTML, in one run.

Builds a Release build of bench/export_render_bench (in build-bench-export/ unless --build is
given), writes --frames design frames of 1280 x 800 as HTML, then renders all of them
  to PNG   export_render_bench png   vs  chromium --headless --screenshot, one frame per start
  to PDF   export_render_bench pdf   vs  chromium --headless --print-to-pdf
Our time includes starting the process and its warm-up of up to five workers, which then render
every frame; Chromium starts once per frame, which is how a command-line export runs it.
Prints frames per second for each and the ratio (ours / Chromium, frames per second); above 1.0
means faster than Chromium. Needs a display (run under xvfb-run) and the chromium package.
"""
import argparse, os, shutil, subprocess, sys, tempfile, time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WIDTH, HEIGHT = 1280, 800


def build(folder):
    subprocess.run(['cmake', '-S', root, '-B', folder, '-G', 'Ninja', '-DCMAKE_BUILD_TYPE=Release',
                    '-DKORVEL_BUILD_BENCH=ON', '-DKORVEL_BUILD_TESTS=OFF'], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', folder, '--target', 'export_render_bench', '-j', '4'], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(folder, 'bench', 'export_render_bench')


def frame(i):
    cards = ''.join('<div class="card" style="left:%dpx;top:%dpx;background:hsl(%d,60%%,60%%)">'
                    '<h2>Card %d</h2><p>Frame %d, a layer of text that wraps over two lines in its box.</p></div>'
                    % (40 + (j % 4) * 300, 160 + (j // 4) * 300, (i * 37 + j * 29) % 360, j, i) for j in range(8))
    return ('<!DOCTYPE html><html><head><meta charset="utf-8"><style>body{margin:0;font:16px sans-serif}'
            '.frame{position:relative;width:%dpx;height:%dpx;overflow:hidden;background:linear-gradient(#fff,#e8eef8)}'
            '.card{position:absolute;width:260px;height:260px;border-radius:12px;box-shadow:0 4px 12px #0003;padding:12px;'
            'box-sizing:border-box}h1{position:absolute;left:40px;top:30px;margin:0;font-size:48px}</style></head>'
            '<body><div class="frame"><h1>Export frame %d</h1>%s</div></body></html>' % (WIDTH, HEIGHT, i, cards))


def chromium(kind, html, out, profile):
    flag = ['--screenshot=' + out, '--window-size=%d,%d' % (WIDTH, HEIGHT), '--hide-scrollbars'] if kind == 'png' \
        else ['--print-to-pdf=' + out, '--no-pdf-header-footer']
    subprocess.run(['chromium', '--headless', '--no-sandbox', '--disable-gpu', '--user-data-dir=' + profile] + flag +
                   ['file://' + html], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--build', default=os.path.join(root, 'build-bench-export'))
    parser.add_argument('--frames', type=int, default=20)
    args = parser.parse_args()
    if not shutil.which('chromium'):
        sys.exit('chromium is not installed (apt-get install chromium)')
    ours = build(args.build)
    work = tempfile.mkdtemp(prefix='korvel-export-bench-')
    try:
        files = []
        for i in range(args.frames):
            path = os.path.join(work, 'frame%02d.html' % i)
            with open(path, 'w') as f:
                f.write(frame(i))
            files.append(path)
        profile = os.path.join(work, 'profile')
        for kind in ('png', 'pdf'):
            out = os.path.join(work, 'ours-' + kind)
            os.makedirs(out)
            start = time.perf_counter()
            subprocess.run([ours, kind, out, str(WIDTH), str(HEIGHT)] + files, check=True, stdout=subprocess.DEVNULL,
                           env=dict(os.environ, WEBKIT_DISABLE_COMPOSITING_MODE='1', NO_AT_BRIDGE='1'))
            ours_time = time.perf_counter() - start
            out = os.path.join(work, 'chromium-' + kind)
            os.makedirs(out)
            start = time.perf_counter()
            for path in files:
                chromium(kind, path, os.path.join(out, os.path.basename(path) + '.' + kind), profile)
            peer_time = time.perf_counter() - start
            ours_fps, peer_fps = args.frames / ours_time, args.frames / peer_time
            print('%-4s %d frames of %dx%d: ours %.2f frames/s (%.2f s), chromium %.2f frames/s (%.2f s), ratio %.2f'
                  % (kind.upper(), args.frames, WIDTH, HEIGHT, ours_fps, ours_time, peer_fps, peer_time,
                     ours_fps / peer_fps))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
