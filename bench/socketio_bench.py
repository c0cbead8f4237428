#!/usr/bin/env python3
"""Event round trips per second through our Socket.IO client beside the JavaScript client
(npm socket.io-client on Node.js), against the same socket.io server, in one run.

Builds a Release build of bench/socketio_bench (in build-bench/ unless --build is given), starts
bench/socketio_bench_server.js on 127.0.0.1, then runs each client --runs times with --count
sequential round trips of a --size-byte payload, and prints the best rate of each and the ratio
(ours / JavaScript). Above 1.0 means more round trips per second than the JavaScript client.
"""
import argparse, json, os, subprocess, sys

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
server_modules = os.path.join(root, 'resources', 'Server', 'node_modules')


def build(folder):
    subprocess.run(['cmake', '-S', root, '-B', folder, '-G', 'Ninja', '-DCMAKE_BUILD_TYPE=Release',
                    '-DKORVEL_BUILD_BENCH=ON', '-DKORVEL_CORE_ONLY=ON', '-DKORVEL_BUILD_TESTS=OFF'],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', folder, '--target', 'socketio_bench'], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(folder, 'bench', 'socketio_bench')


def rate(command, env):
    out = subprocess.run(command, check=True, capture_output=True, text=True, env=env, timeout=600).stdout
    result = json.loads(out.strip().splitlines()[-1])
    return result['roundTrips'] / result['seconds']


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--build', default=os.path.join(root, 'build-bench'))
    parser.add_argument('--count', type=int, default=5000)
    parser.add_argument('--size', type=int, default=256)
    parser.add_argument('--runs', type=int, default=3)
    args = parser.parse_args()
    if not os.path.isdir(server_modules):
        sys.exit('socketio_bench: run scripts/setup first (resources/Server/node_modules is missing)')

    ours = build(args.build)
    node = os.path.join(root, 'resources', 'Node', 'bin', 'node')
    env = dict(os.environ, NODE_PATH=server_modules)
    server = subprocess.Popen([node, os.path.join(root, 'bench', 'socketio_bench_server.js')],
                              stdout=subprocess.PIPE, text=True, env=env)
    try:
        port = json.loads(server.stdout.readline())['port']
        url = f'http://127.0.0.1:{port}/'
        clients = {
            'ours (socketio::Client)': [ours, url, str(args.count), str(args.size)],
            'JavaScript (socket.io-client)': [node, os.path.join(root, 'bench', 'socketio_bench_client.js'),
                                              url, str(args.count), str(args.size)],
        }
        best = {}
        for run in range(args.runs):
            for name, command in clients.items():
                best[name] = max(best.get(name, 0.0), rate(command, env))
        print(f'{args.count} sequential round trips of a {args.size}-byte event, best of {args.runs}:')
        for name, value in best.items():
            print(f'  {name:32} {value:10.0f} round trips/s')
        names = list(best)
        print(f'ratio (ours / JavaScript): {best[names[0]] / best[names[1]]:.2f}')
    finally:
        server.terminate()
        server.wait()


if __name__ == '__main__':
    main()
