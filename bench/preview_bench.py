#!/usr/bin/env python3
"""Time and memory from a click to a preview page ready: korvel's Preview button beside a bare
WebKitGTK browser (bench/bare_webview --on-click) whose click loads the same preview page, in
one run.

korvel opens a copy of the example document (fresh HOME, signed in as the stand-in's demo user);
once its editor page is ready, the title bar's Preview button is clicked (xdotool). Time zero is
the click; korvel is ready when it has logged both "Preview shown" and "Preview page ready" (the
preview page's DOMContentLoaded; a korvel that loads the page before the preview is shown may
log it before the click, and then the time is that of showing the window). The bare browser
starts with its window on screen and its web view made but not loaded; time zero is a click into
its window, which loads the preview page that a stand-in project server (started once, before
the rounds, and not counted) serves for a copy of the same project; it is ready when the page
reports its DOMContentLoaded. Both sides are thus timed from a click to the page's DOM loaded,
each in a web process started by the click; where korvel's web processes run with compositing off
(its choice for a display without direct rendering), the bare browser is given the same. Memory is the proportional set size (Pss of
/proc/<pid>/smaps_rollup) summed over each program's process tree then, with the number of
processes (korvel's includes its editor and its own project server). Rounds alternate; prints the
medians, the ratios (korvel / bare web view) and the 1-minute load average.

Run it under a display (xvfb-run -a bench/preview_bench.py), or without DISPLAY and it starts one.
Needs xdotool and resources/Server/node_modules (scripts/setup). Everything it starts ends with
it, also when a round fails.
"""
import argparse, json, os, secrets, shutil, statistics, subprocess, sys, tempfile, time, zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import startup_bench as sb  # noqa: E402


def click(pattern, x, y):
    """Clicks at (x, y) in the last visible window whose name matches; the time of the click."""
    window = subprocess.run(['xdotool', 'search', '--sync', '--onlyvisible', '--name', pattern],
                            capture_output=True, text=True, timeout=30).stdout.split()
    if not window:
        return None
    at = time.perf_counter()
    subprocess.run(['xdotool', 'mousemove', '--window', window[-1], str(x), str(y), 'click', '1'], check=False)
    return at


def korvel_run(korvel, document, env, shot):
    """Seconds from the Preview click to a shown preview with its page loaded; PSS; processes."""
    state = {'click': None, 'shown': None, 'loaded': None}

    def ready(stream, line):
        now = time.perf_counter()
        if 'Preview page ready' in line and state['loaded'] is None:
            state['loaded'] = now
        if 'Preview shown' in line and state['shown'] is None:
            state['shown'] = now
        if 'Editor page ready' in line and state['click'] is None:
            state['click'] = click('example', 40, 23)
        return None not in state.values()

    seconds, pss, count, _, compositing_off = sb.run([korvel, document], ready, 'korvel', env, shot)
    return max(state['shown'], state['loaded']) - state['click'], pss, count, compositing_off


def bare_run(bare, page, env, shot):
    """Seconds from a click into the bare window to its page's DOM loaded; PSS; processes."""
    state = {'click': None, 'loaded': None}

    def ready(stream, line):
        if stream != 'stdout':
            return False
        if line == 'waiting' and state['click'] is None:
            state['click'] = click('^bare_webview$', 200, 200)
        elif line.startswith('ready ') and state['loaded'] is None:
            state['loaded'] = time.perf_counter()
        return None not in state.values()

    seconds, pss, count, _, _ = sb.run([bare, '--on-click', page], ready, 'bare_webview', env, shot)
    return state['loaded'] - state['click'], pss, count, False


def serve(project, work, started, key, timeout=60):
    """A stand-in project server on `project` that asks for `key`, as korvel starts one, noted in
    `started`; its address. The server says other things first: its address is on the first line
    that is a JSON state of a running server."""
    server = subprocess.Popen(['node', os.path.join(sb.root, 'resources', 'Server', 'lib', 'cli.js'),
                               '--staticPath', os.path.join(sb.root, 'resources'), '--cachePath', work,
                               '--api', 'http://127.0.0.1:9/', 'serve', project],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                              env=dict(os.environ, KORVEL_PAGE_KEY=key))
    started.append(server)
    sb.keep.add(server.pid)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        line = server.stdout.readline()
        if not line:
            break
        if not line.startswith('{'):
            continue
        try:
            state = json.loads(line)
        except ValueError:
            continue
        if isinstance(state, dict) and state.get('running') and isinstance(state.get('url'), str):
            return state['url']
    raise RuntimeError('the stand-in project server gave no address (status %s)' % server.poll())


def end(processes):
    for process in processes:
        if process.poll() is None:
            process.terminate()
    for process in processes:
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--build', default=os.path.join(sb.root, 'build-rel'))
    parser.add_argument('--runs', type=int, default=7)
    parser.add_argument('--compare', metavar='KORVEL', help='another korvel executable, run in the same rounds')
    parser.add_argument('--screenshot', default='preview_bench_failure.png')
    args = parser.parse_args()
    if not shutil.which('xdotool'):
        sys.exit('preview_bench: needs xdotool (apt-get install xdotool)')
    korvel, bare = sb.build(args.build)
    sb.become_subreaper()
    work = tempfile.mkdtemp(prefix='korvel-preview-bench-')
    started = []
    load_before = os.getloadavg()[0]
    try:
        project = os.path.join(work, 'project')
        with zipfile.ZipFile(sb.example_document()) as z:
            z.extractall(project)
        standin = subprocess.Popen(['node', os.path.join(sb.root, 'tools', 'cloud-standin', 'server.js'), '0'],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        started.append(standin)
        sb.keep.add(standin.pid)
        port = json.loads(standin.stdout.readline())['port']
        # The bare browser shows the server's key as korvel's preview does: with the page's load,
        # and as its answer to the server's question for what the page loads.
        key = secrets.token_hex(32)
        url = serve(project, work, started, key)
        if not os.environ.get('DISPLAY'):
            xvfb, display = sb.start_display()
            started.append(xvfb)
            sb.keep.add(xvfb.pid)
            os.environ['DISPLAY'] = display
        page = url + '_app/resources/Ostrel/preview.html'
        sides = [('korvel', korvel)] + ([('compared', os.path.abspath(args.compare))] if args.compare else [])
        results = {name: [] for name in [s[0] for s in sides] + ['bare']}
        shot = lambda: sb.screenshot(args.screenshot)
        for _ in range(args.runs):
            for name, program in sides + [('bare', bare)]:
                if name == 'bare':
                    env = sb.fresh_home(work)
                    env['KORVEL_PAGE_KEY'] = key
                    # The bare view draws as korvel's web processes were made to, on this display.
                    if any(r[3] for r in results['korvel']):
                        env['WEBKIT_DISABLE_COMPOSITING_MODE'] = '1'
                else:
                    env, document = sb.korvel_env(work, port)
                try:
                    if name == 'bare':
                        results[name].append(bare_run(bare, page, env, shot))
                    else:
                        results[name].append(korvel_run(program, document, env, shot))
                except RuntimeError as error:
                    sys.exit('preview_bench: %s\n(screen saved in %s)' % (error, args.screenshot))
                finally:
                    shutil.rmtree(env['HOME'], ignore_errors=True)
        peer = sb.median_row(results['bare'])
        print('Click to preview page ready, median of %d interleaved rounds (memory: Pss summed over the process '
              'tree then); 1-min load %.2f before, %.2f after' % (args.runs, load_before, os.getloadavg()[0]))
        labels = {'korvel': 'korvel (Preview button)', 'compared': 'compared: %s' % args.compare,
                  'bare': 'bare_webview (click loads the page)'}
        for name in [s[0] for s in sides] + ['bare']:
            value = sb.median_row(results[name])
            ratio = '' if name == 'bare' else 'ratio %.2f / %.2f' % (value[0] / peer[0], value[1] / peer[1])
            print('  %-40s %6.3f s %5.0f MiB %3d processes   %s' % (labels[name][:40], value[0], value[1] / 1024,
                                                                   value[2], ratio))
        print('  web processes with compositing %s (as korvel chose for this display)' %
              ('off' if any(r[3] for r in results['korvel']) else 'as the engine chooses'))
        for name in [s[0] for s in sides] + ['bare']:
            print('  %-9s rounds: %s' % (name, ' '.join('%.3f s/%.0f MiB/%d' % (r[0], r[1] / 1024, r[2])
                                                      for r in results[name])))
    finally:
        end(started)
        sb.sweep()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
