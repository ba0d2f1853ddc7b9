"""tav-exporter against real processes and a real Prometheus server, all on
127.0.0.1 with bounded waits, the exporter as an unprivileged user with
CAP_SYS_PTRACE when run as root: two copies of one host program and a host whose
control block is corrupt (and whose name is hostile), both text formats
through their strict parsers, gzip, loopback-only listening, values queried
back per pid, then a host that exits and one that starts. Every process
started here is stopped by its PID.

Usage: end_to_end_test.py EXPORTER HOST PROMETHEUS PROMTOOL OPENMETRICS_CHECK RULES"""
import gzip
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

exporter, host, prometheus, promtool, om_check, rules = sys.argv[1:]
work = tempfile.mkdtemp(prefix="tav-exporter-e2e-")
started, failures = [], 0
OPENMETRICS = ("application/openmetrics-text;version=1.0.0,application/openmetrics-text;version=0.0.1;q=0.75,"
               "text/plain;version=0.0.4;q=0.5,*/*;q=0.1")  # what Prometheus sends


def check(name, ok, detail=""):
    global failures
    print(f"ok   {name}" if ok else f"FAIL {name}: {detail}", flush=True)
    failures += not ok


def wait_for(what, probe, seconds=20):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            if got := probe():
                return got
        except (OSError, ValueError):
            pass
        time.sleep(0.2)
    raise TimeoutError(f"timed out after {seconds} s waiting for {what}")


def start(argv, **kw):
    started.append(subprocess.Popen(argv, **kw))
    return started[-1]


def start_host(name, *mode):
    """A host named `name` (its comm), which waits until its standard input closes;
    returns it with its own JSON view of itself."""
    link, out = os.path.join(work, name), os.path.join(work, f"{len(started)}.json")
    if not os.path.exists(link):
        os.symlink(host, link)
    p = start([link, out, *mode], stdin=subprocess.PIPE)
    return p, wait_for(f"host {name!r}", lambda: json.loads(open(out).read().split("\n", 1)[1]))


def get(url, headers=None):
    headers = {"X-Prometheus-Scrape-Timeout-Seconds": "3", **(headers or {})}  # other hosts here may be slow
    with urllib.request.urlopen(urllib.request.Request(url, headers=headers), timeout=10) as r:
        return r.headers, r.read()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def query(promql):
    """{pid: (labels, value)} of an instant query."""
    _, body = get(f"{prom}/api/v1/query?" + urllib.parse.urlencode({"query": promql}))
    return {int(s["metric"]["pid"]): (s["metric"], float(s["value"][1])) for s in json.loads(body)["data"]["result"]}


try:
    # As its systemd unit runs it when we are root: an unprivileged user whose one
    # capability is CAP_SYS_PTRACE. The programs are copied where that user can reach them.
    run_as = []
    if os.getuid() == 0:
        os.chmod(work, 0o755)
        exporter, host = shutil.copy(exporter, work), shutil.copy(host, work)
        run_as = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--no-new-privs"] + [
            f"--{s}=-all,+sys_ptrace" for s in ("inh-caps", "ambient-caps", "bounding-set")]
    (a, view), (b, _) = start_host("twin"), start_host("twin")
    hostile = 'ba"d\\\n\x01'
    bad, _ = start_host(hostile, "garbage")
    exp = start(run_as + [exporter, "--web.listen-address=127.0.0.1:0"], stderr=subprocess.PIPE, text=True)
    line = exp.stderr.readline()
    check("the exporter says where it listens", "listening on 127.0.0.1:" in line, line)
    port = int(line.split("127.0.0.1:")[1].split(",")[0])
    metrics = f"http://127.0.0.1:{port}/metrics"

    headers, text = get(metrics)
    check("text 0.0.4 when not asked for OpenMetrics", headers["Content-Type"].startswith("text/plain; version=0.0.4"))
    r = subprocess.run([promtool, "check", "metrics"], input=text, capture_output=True)
    check("promtool accepts the text 0.0.4", r.returncode == 0, r.stdout + r.stderr)
    headers, om = get(metrics, {"Accept": OPENMETRICS})
    check("OpenMetrics for Prometheus's Accept", headers["Content-Type"].startswith("application/openmetrics-text"))
    r = subprocess.run([om_check], input=om, capture_output=True)
    check("the strict parser accepts the OpenMetrics", r.returncode == 0, r.stdout + r.stderr)
    headers, packed = get(metrics, {"Accept-Encoding": "gzip"})
    check("gzip when asked", headers["Content-Encoding"] == "gzip" and b"\ntav_up{" in gzip.decompress(packed))
    listening = [l.split()[1] for l in open("/proc/net/tcp").readlines()[1:] if l.split()[3] == "0A"]
    check("listens on loopback only", listening.count(f"0100007F:{port:04X}") == 1 and
          not any(l.endswith(f":{port:04X}") and l != f"0100007F:{port:04X}" for l in listening), listening)

    config = os.path.join(work, "prometheus.yml")
    with open(config, "w") as f:
        f.write(f"global: {{scrape_interval: 1s, scrape_timeout: 1s, evaluation_interval: 1s}}\n"
                f"rule_files: ['{rules}']\n"
                f"scrape_configs: [{{job_name: tav, static_configs: [{{targets: ['127.0.0.1:{port}']}}]}}]\n")
    prom_port = free_port()
    prom = f"http://127.0.0.1:{prom_port}"
    start([prometheus, f"--config.file={config}", f"--storage.tsdb.path={work}/data",
           f"--web.listen-address=127.0.0.1:{prom_port}"], stdout=subprocess.DEVNULL,
          stderr=open(os.path.join(work, "prometheus.log"), "w"))
    wait_for("Prometheus to be ready", lambda: get(f"{prom}/-/ready"))
    # A scrape that runs out of time serves a host as down: the values must come, not necessarily at once.
    want = {a.pid: 1, b.pid: 1, bad.pid: 0}
    up = wait_for("tav_up 1 for the twins and 0 for the corrupt host in Prometheus",
                  lambda: (u := query("tav_up")) and all(u.get(p, (0, -1))[1] == v for p, v in want.items()) and u)
    check("tav_up is 1 for the twins, 0 for the corrupt host", True)
    shown = hostile.replace("\n", "\\n").replace("\x01", "\\x01")  # control characters as tav::printable shows them
    check("the hostile comm comes back printable", up[bad.pid][0]["comm"] == shown, up[bad.pid][0])
    for g in view["groups"]:
        got = query(f'tav_group_charged_bytes{{group="{g["name"]}"}}')
        check(f"group {g['name']}: each twin's charged bytes", got.get(a.pid, (0, -1))[1] == g["charged_bytes"] ==
              got.get(b.pid, (0, -1))[1], got)
    info = query("tav_process_info")
    check("tav_process_info names the program and the user", info[a.pid][0]["exe"] == host and
          info[a.pid][0]["uid"] == str(os.getuid()) and info[a.pid][0]["comm"] == "twin", info.get(a.pid))
    check("the shipped rules see the corrupt host", bad.pid in wait_for("the TavHostUnreadable alert",
          lambda: query('ALERTS{alertname="TavHostUnreadable"}')))

    a.stdin.close()
    a.wait(timeout=10)
    c, _ = start_host("twin")
    wait_for("the exited host to vanish and the new one to appear",
             lambda: (u := query("tav_up")).keys() >= {b.pid, c.pid} and a.pid not in u)
    check("a host that exits vanishes, one that starts appears", True)
    exp.terminate()
    check("the exporter stops cleanly on SIGTERM", exp.wait(timeout=10) == 0, exp.stderr.read())
except (TimeoutError, OSError, KeyError, ValueError) as e:
    check("the run", False, repr(e))
finally:
    for p in reversed(started):
        if p.poll() is None:
            p.terminate()
        try:
            p.wait(timeout=10)
        except subprocess.TimeoutExpired:
            p.kill()
    shutil.rmtree(work, ignore_errors=True)
print(f"{failures} failed")
sys.exit(failures > 0)
