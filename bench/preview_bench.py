#!/usr/bin/env python3
"""Time and memory of korvel's preview beside a bare WebKitGTK browser (bench/bare_webview)
loading the same preview page, in one run.

korvel opens a copy of the example document (fresh HOME, signed in as the stand-in's demo user);
once its editor page is ready, the title bar's Preview button is clicked (xdotool). Time zero is
the click; korvel is ready when it has logged both "Preview shown" and "Preview page ready" (the
preview page's DOMContentLoaded; the page loads as soon as the project server runs, so it may
come before the click, and then the time is that of showing the window). Memory is the summed
VmRSS of korvel's whole process tree then (editor and preview web processes, the Node.js project
server). The bare browser loads the preview page that a stand-in project server, started before
it and not counted, serves for a copy of the same project; it is ready when the page's DOM has
loaded. Prints the medians and the ratios (korvel / bare web view).

Run it under a display (xvfb-run -a bench/preview_bench.py), or without DISPLAY and it starts one.
"""
import argparse, json, os, shutil, statistics, subprocess, sys, tempfile, time, zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import startup_bench as sb  # noqa: E402


def korvel_run(korvel, document, env, shot):
    """Seconds from the Preview click to a shown preview with its page loaded; RSS; processes."""
    state = {'click': None, 'shown': None, 'loaded': None}

    def ready(stream, line):
        now = time.perf_counter()
        if 'Preview page ready' in line and state['loaded'] is None:
            state['loaded'] = now
        if 'Preview shown' in line and state['shown'] is None:
            state['shown'] = now
        if 'Editor page ready' in line and state['click'] is None:
            window = subprocess.run(['xdotool', 'search', '--sync', '--onlyvisible', '--name', 'example'],
                                    capture_output=True, text=True, timeout=30).stdout.split()
            if window:
                state['click'] = time.perf_counter()
                subprocess.run(['xdotool', 'mousemove', '--window', window[-1], '40', '23', 'click', '1'], check=False)
        return None not in state.values()

    seconds, rss, count = sb.run([korvel, document], ready, 'korvel', env, shot)
    return max(state['shown'], state['loaded']) - state['click'], rss, count


def serve(project, work):
    """A stand-in project server on `project`; its process and its address."""
    server = subprocess.Popen(['node', os.path.join(sb.root, 'resources', 'Server', 'lib', 'cli.js'),
                               '--staticPath', os.path.join(sb.root, 'resources'), '--cachePath', work,
                               '--api', 'http://127.0.0.1:9/', 'serve', project],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    sb.keep.add(server.pid)
    return server, json.loads(server.stdout.readline())['url']


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--build', default=os.path.join(sb.root, 'build-rel'))
    parser.add_argument('--runs', type=int, default=5)
    parser.add_argument('--screenshot', default='preview_bench_failure.png')
    args = parser.parse_args()
    korvel, bare = sb.build(args.build)
    sb.become_subreaper()
    work = tempfile.mkdtemp(prefix='korvel-preview-bench-')
    project = os.path.join(work, 'project')
    with zipfile.ZipFile(sb.example_document()) as z:
        z.extractall(project)
    standin = subprocess.Popen(['node', os.path.join(sb.root, 'tools', 'cloud-standin', 'server.js'), '0'],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    sb.keep.add(standin.pid)
    server, url = serve(project, work)
    xvfb = None
    try:
        port = json.loads(standin.stdout.readline())['port']
        if not os.environ.get('DISPLAY'):
            xvfb, display = sb.start_display()
            sb.keep.add(xvfb.pid)
            os.environ['DISPLAY'] = display
        page = url + '_app/resources/Ostrel/preview.html'
        results = {'korvel': [], 'bare': []}
        shot = lambda: sb.screenshot(args.screenshot)
        for _ in range(args.runs):
            korvel_home, document = sb.korvel_env(work, port)
            bare_home = sb.fresh_home(work)
            try:
                results['korvel'].append(korvel_run(korvel, document, korvel_home, shot))
                results['bare'].append(sb.run([bare, page, "document.readyState !== 'loading'"],
                                              lambda stream, line: stream == 'stdout' and line.startswith('ready '),
                                              'bare_webview', bare_home, shot))
            except RuntimeError as error:
                sys.exit('preview_bench: %s\n(screen saved in %s)' % (error, args.screenshot))
            finally:
                for env in (korvel_home, bare_home):
                    shutil.rmtree(env['HOME'], ignore_errors=True)
        ours = [statistics.median(r[i] for r in results['korvel']) for i in (0, 1, 2)]
        peer = [statistics.median(r[i] for r in results['bare']) for i in (0, 1, 2)]
        print('Preview page ready, median of %d (memory: VmRSS summed over the process tree):' % args.runs)
        for label, value in (('korvel (Preview click to page shown)', ours), ('bare_webview (start to DOM loaded)', peer)):
            print('  %-38s %7.3f s %7.0f MiB in %d processes' % (label, value[0], value[1] / 1024, value[2]))
        print('ratio (korvel / bare web view): time %.2f, memory %.2f' % (ours[0] / peer[0], ours[1] / peer[1]))
    finally:
        for p in (server, standin):
            p.terminate()
            p.wait()
        if xvfb:
            xvfb.terminate()
            xvfb.wait()
        sb.sweep()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
