#!/usr/bin/env python3
"""Start-up time and memory of korvel opening the example document beside a bare WebKitGTK
browser (bench/bare_webview) loading the same editor page, in one run.

Builds korvel and bench/bare_webview (RelWithDebInfo, in build-rel/ unless --build is given), starts the stand-in cloud
service (tools/cloud-standin/server.js) and then, --runs times, in turn:
  korvel <copy of the example document>, in a fresh HOME signed in as the stand-in's demo user,
      ready when it logs "Editor page ready" (G_MESSAGES_DEBUG=com.korvel.x.dev; GLib writes
      debug messages to stdout, so both streams are watched);
  bare_webview file://.../resources/Ostrel/index.html, ready when the page has posted
      DocumentReady (the stand-in editor does so by itself when no host answers);
  and, with --compare, another korvel executable (an earlier build, say) as korvel is run.
Each side runs under its own dbus-run-session. Time zero is just before the spawn; memory is the
proportional set size (Pss of /proc/<pid>/smaps_rollup) summed over the program's whole process
tree (web, network and Node.js server helpers included; shared pages split between the
processes that map them) at readiness, with the number of processes. Prints the medians, the
ratios (korvel / bare web view; 1.0 would be no cost over the bare engine) and the 1-minute
load average before and after the rounds.

Run it under a display (xvfb-run -a bench/startup_bench.py), or without DISPLAY and it starts
one Xvfb for the whole run. Needs resources/Server/node_modules (scripts/setup).
"""
import argparse, ctypes, glob, json, os, selectors, shutil, signal, statistics, subprocess, sys, tempfile, time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
server_modules = os.path.join(root, 'resources', 'Server', 'node_modules')
log_domain = 'com.korvel.x.dev'
timeout = 90


def build(folder, jobs=3):
    subprocess.run(['cmake', '-S', root, '-B', folder, '-G', 'Ninja', '-DCMAKE_BUILD_TYPE=RelWithDebInfo',
                    '-DKORVEL_BUILD_BENCH=ON', '-DKORVEL_BUILD_TESTS=OFF'], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', folder, '-j', str(jobs), '--target', 'korvel', 'bare_webview'],
                   check=True, stdout=subprocess.DEVNULL)
    return os.path.join(folder, 'src', 'app', 'korvel'), os.path.join(folder, 'bench', 'bare_webview')


def example_document():
    found = sorted(glob.glob(os.path.join(root, 'resources', 'WelcomeWindow', 'examples', '*.korvelx')) +
                   glob.glob(os.path.join(root, 'resources', 'Examples', '*.korvelx')))
    if not found:
        sys.exit('startup_bench: no example document (*.korvelx) under resources/')
    return found[0]


def become_subreaper():
    """Orphaned helpers come back to this script instead of init, so none escapes the sweep."""
    PR_SET_CHILD_SUBREAPER = 36
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def parents():
    links = {}
    for stat in glob.glob('/proc/[0-9]*/stat'):
        try:
            with open(stat) as f:
                text = f.read()
        except OSError:
            continue
        # The name in parentheses may hold spaces; the fields after its last ')' are plain.
        fields = text[text.rindex(')') + 2:].split()
        links[int(text[:text.index(' ')])] = int(fields[1])
    return links


def tree(pid):
    links = parents()
    found, frontier = [pid], [pid]
    while frontier:
        frontier = [child for child, parent in links.items() if parent in frontier]
        found += frontier
    return found


def name(pid):
    try:
        with open('/proc/%d/comm' % pid) as f:
            return f.read().strip()
    except OSError:
        return ''


def pss_kb(pids):
    """Summed proportional set size: each shared page counts once over all the processes."""
    total = 0
    for pid in pids:
        try:
            with open('/proc/%d/smaps_rollup' % pid) as f:
                for line in f:
                    if line.startswith('Pss:'):
                        total += int(line.split()[1])
                        break
        except OSError:
            pass
    return total


def by_name(pids):
    """PSS (kB) of each kind of process in the tree, by command name."""
    kinds = {}
    for pid in pids:
        kb, count = kinds.get(name(pid), (0, 0))
        kinds[name(pid)] = (kb + pss_kb([pid]), count + 1)
    return kinds


def compositing_off(pids):
    """Whether the web processes run with compositing off, as korvel chooses where the display has no
    direct rendering; the bare view is then given the same, so both draw alike."""
    for pid in pids:
        try:
            with open('/proc/%d/environ' % pid, 'rb') as f:
                if b'WEBKIT_DISABLE_COMPOSITING_MODE=1' in f.read().split(b'\0'):
                    return True
        except OSError:
            pass
    return False


def stop(child, leftovers):
    """SIGTERM to the session's group, SIGKILL to whatever of it, or of the tree seen, is left."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(child.pid, sig)
        except ProcessLookupError:
            pass
        for pid in leftovers:
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        try:
            child.wait(5)
            break
        except subprocess.TimeoutExpired:
            continue
    sweep()


def sweep():
    """Reaps this script's orphaned children (helpers that outlived their parent), killing live ones."""
    for pid in tree(os.getpid())[1:]:
        if pid in keep:
            continue
        try:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass


keep = set()


def run(command, ready, program, env, failed=None):
    """Seconds to readiness, and the PSS (kB) and process count of the program's tree then.
    ready(stream, line) -> bool; failed() runs while a program that never got ready still shows."""
    start = time.perf_counter()
    child = subprocess.Popen(['dbus-run-session', '--'] + command, env=env, start_new_session=True,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    seen = []
    selector = selectors.DefaultSelector()
    try:
        selector.register(child.stdout, selectors.EVENT_READ, 'stdout')
        selector.register(child.stderr, selectors.EVENT_READ, 'stderr')
        buffers = {'stdout': b'', 'stderr': b''}
        log = []
        while True:
            left = start + timeout - time.perf_counter()
            events = selector.select(max(left, 0))
            if not events:
                raise RuntimeError('not ready after %d s' % timeout)
            for key, _ in events:
                data = os.read(key.fileobj.fileno(), 65536)
                if not data:
                    selector.unregister(key.fileobj)
                    if not selector.get_map():
                        raise RuntimeError('ended before it was ready (status %s)' % child.wait())
                    continue
                buffers[key.data] += data
                *lines, buffers[key.data] = buffers[key.data].split(b'\n')
                for line in lines:
                    text = line.decode(errors='replace')
                    log.append(text)
                    if ready(key.data, text):
                        seconds = time.perf_counter() - start
                        # dbus-run-session's child of that name is the program; its bus daemon is left out.
                        top = [p for p in tree(child.pid) if name(p) == program[:15]]
                        if not top:
                            raise RuntimeError('%s is not among the session\'s processes' % program)
                        seen = tree(child.pid)
                        measured = tree(top[0])
                        return seconds, pss_kb(measured), len(measured), by_name(measured), compositing_off(measured)
    except RuntimeError as error:
        if failed:
            failed()
        raise RuntimeError('%s: %s\n%s' % (program, error, '\n'.join(log[-30:]))) from None
    finally:
        stop(child, seen or tree(child.pid))
        selector.close()
        child.stdout.close()
        child.stderr.close()


def fresh_home(work):
    """A new HOME with the XDG folders inside it, so that each start is a first one (no web caches)."""
    home = tempfile.mkdtemp(prefix='home-', dir=work)
    return dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, '.config'),
                XDG_DATA_HOME=os.path.join(home, '.local', 'share'), XDG_CACHE_HOME=os.path.join(home, '.cache'))


def korvel_env(work, port):
    """A fresh HOME signed in as the stand-in's demo user, holding a copy of the example document."""
    env = fresh_home(work)
    folder = os.path.join(env['XDG_CONFIG_HOME'], 'Korvel')
    os.makedirs(folder, mode=0o700)
    os.chmod(folder, 0o700)
    with open(os.open(os.path.join(folder, 'defaults.json'), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), 'w') as f:
        local = 'http://127.0.0.1:%d' % port
        json.dump({'CurrentStoreEnvironment': 3, 'LocalServicesBaseURL': local, 'CloudServerBaseUrl': local,
                   'KorvelLoginToken': 'demo-token', 'PDDataCollectionDisabled': True}, f)
    example = example_document()
    document = os.path.join(env['HOME'], os.path.basename(example))
    shutil.copyfile(example, document)
    env['G_MESSAGES_DEBUG'] = log_domain
    return env, document


def start_display():
    """An Xvfb of its own on the first free display number; returns the process and ':N'."""
    read, write = os.pipe()
    xvfb = subprocess.Popen(['Xvfb', '-displayfd', str(write), '-screen', '0', '1280x1024x24', '-nolisten', 'tcp'],
                            pass_fds=[write], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as f:
        number = f.readline().strip()
    if not number:
        sys.exit('startup_bench: Xvfb did not start')
    return xvfb, ':' + number


def screenshot(path):
    script = ("import sys, gi\ngi.require_version('Gdk', '3.0')\nfrom gi.repository import Gdk\n"
              "w = Gdk.get_default_root_window()\n"
              "Gdk.pixbuf_get_from_window(w, 0, 0, w.get_width(), w.get_height()).savev(sys.argv[1], 'png', [], [])\n")
    subprocess.run(['/usr/bin/python3', '-c', script, path], check=False)


def median_row(rounds):
    return [statistics.median(r[i] for r in rounds) for i in (0, 1, 2)]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--build', default=os.path.join(root, 'build-rel'))
    parser.add_argument('--runs', type=int, default=7)
    parser.add_argument('--compare', metavar='KORVEL', help='another korvel executable, run in the same rounds')
    parser.add_argument('--screenshot', default='startup_bench_failure.png',
                        help='where to save the screen when a program never gets ready')
    args = parser.parse_args()
    if not os.path.isdir(server_modules):
        sys.exit('startup_bench: run scripts/setup first (resources/Server/node_modules is missing)')
    korvel, bare = build(args.build)
    become_subreaper()

    work = tempfile.mkdtemp(prefix='korvel-startup-bench-')
    xvfb = None
    standin = subprocess.Popen(['node', os.path.join(root, 'tools', 'cloud-standin', 'server.js'), '0'],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    keep.add(standin.pid)
    load_before = os.getloadavg()[0]
    try:
        port = json.loads(standin.stdout.readline())['port']
        if not os.environ.get('DISPLAY'):
            xvfb, display = start_display()
            keep.add(xvfb.pid)
            os.environ['DISPLAY'] = display
        page = 'file://' + os.path.join(root, 'resources', 'Ostrel', 'index.html')
        sides = [('korvel', korvel)] + ([('compared', os.path.abspath(args.compare))] if args.compare else [])
        results = {name: [] for name in [s[0] for s in sides] + ['bare']}
        shot = lambda: screenshot(args.screenshot)
        for _ in range(args.runs):
            for name, program in sides + [('bare', bare)]:
                if name == 'bare':
                    env = fresh_home(work)
                    if any(r[4] for r in results['korvel']):
                        env['WEBKIT_DISABLE_COMPOSITING_MODE'] = '1'
                    command = [bare, page]
                    ready = lambda stream, line: stream == 'stdout' and line.startswith('ready ')
                else:
                    env, document = korvel_env(work, port)
                    command = [program, document]
                    ready = lambda stream, line: 'Editor page ready' in line
                try:
                    results[name].append(run(command, ready, os.path.basename(program), env, shot))
                except RuntimeError as error:
                    sys.exit('startup_bench: %s\n(screen saved in %s)' % (error, args.screenshot))
                finally:
                    shutil.rmtree(env['HOME'], ignore_errors=True)

        peer = median_row(results['bare'])
        print('Start to editor page ready, median of %d interleaved rounds (memory: Pss summed over the '
              'process tree at readiness); 1-min load %.2f before, %.2f after' % (args.runs, load_before,
                                                                               os.getloadavg()[0]))
        print('  %-44s %8s %9s %6s   %s' % ('', 'time', 'PSS', 'procs', 'ratio time / memory'))
        labels = {'korvel': 'korvel (example document)', 'compared': 'compared: %s' % args.compare,
                  'bare': 'bare_webview (stand-in editor page)'}
        for name in [s[0] for s in sides] + ['bare']:
            value = median_row(results[name])
            ratio = '' if name == 'bare' else '%.2f / %.2f' % (value[0] / peer[0], value[1] / peer[1])
            print('  %-44s %6.3f s %5.0f MiB %6d   %s' % (labels[name][:44], value[0], value[1] / 1024, value[2], ratio))
        for name in [s[0] for s in sides] + ['bare']:
            middle = sorted(results[name], key=lambda r: r[1])[len(results[name]) // 2]
            print('  %-9s by process (median round): %s' % (name, ', '.join(
                '%s ×%d %.0f MiB' % (kind, n, kb / 1024)
                for kind, (kb, n) in sorted(middle[3].items(), key=lambda k: -k[1][0]))))
        print('  web processes with compositing %s (as korvel chose for this display)' %
              ('off' if any(r[4] for r in results['korvel']) else 'as the engine chooses'))
        for name in [s[0] for s in sides] + ['bare']:
            print('  %-9s rounds: %s' % (name, ' '.join('%.3f s/%.0f MiB/%d' % (r[0], r[1] / 1024, r[2])
                                                      for r in results[name])))
    finally:
        standin.terminate()
        standin.wait()
        if xvfb:
            xvfb.terminate()
            xvfb.wait()
        sweep()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
