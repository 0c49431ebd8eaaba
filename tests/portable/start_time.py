#!/usr/bin/env python3
"""A later start of the portable file against the plain build (`vrnsetup -help`, whole
processes in alternating order; medians of wall and processor time), the bundle unpacked
once before into a cache folder of its own:  start_time.py <build folder> [runs, 41]"""
import os, shutil, statistics, sys, tempfile, time

build, runs = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 41
programs = [os.path.join(build, "bin/vrnsetup"), os.path.join(build, "dist/vrnsetup")]
cache = tempfile.mkdtemp(prefix="start-time.", dir=build)
environment = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_CACHE_HOME=cache)
null = os.open(os.devnull, os.O_WRONLY)


def start(program):
    began = time.perf_counter()
    child = os.posix_spawn(program, [program, "-help"], environment,
                           file_actions=[(os.POSIX_SPAWN_DUP2, null, 1), (os.POSIX_SPAWN_DUP2, null, 2)])
    _, status, usage = os.wait4(child, 0)
    if status != 0:
        sys.exit(f"{program} -help failed")
    return (time.perf_counter() - began) * 1000, (usage.ru_utime + usage.ru_stime) * 1000


try:
    start(programs[1])
    times = {program: [] for program in programs}
    for run in range(runs):
        for program in programs if run % 2 == 0 else programs[::-1]:
            times[program].append(start(program))
finally:
    shutil.rmtree(cache)
(plain_wall, plain_cpu), (wall, cpu) = ([statistics.median(t[i] for t in times[p]) for i in (0, 1)] for p in programs)
print(f"{runs} starts each, medians: plain {plain_wall:.2f} ms wall, {plain_cpu:.2f} ms processor; "
      f"portable {wall:.2f} ms wall, {cpu:.2f} ms processor ({wall / plain_wall:.3f} x, {cpu / plain_cpu:.3f} x)")
