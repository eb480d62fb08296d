#!/usr/bin/python3
"""The reference side of scripts/bench's vSphere comparison: the same job as one check of one
named machine (log in, find the machine among all machines under the root folder, read its
state, log out), done with pyvmomi in a loop in one process.

    vsphere_pyvmomi.py --url URL --user U --password P --vm NAME --state S [--checks N]

Prints one line of name=value pairs, like vsphere-bench.exe: the time of the first check, the
median and mean of the others, and the resident memory after the first tenth of the checks,
after half of them and at the end.
"""
import argparse
import ssl
import statistics
import sys
import time
import urllib.parse

from pyVim.connect import Disconnect, SmartConnect
from pyVmomi import vim, vmodl

PC = vmodl.query.PropertyCollector


def state_of(runtime):
    """The check's state name for a machine's runtime properties."""
    if runtime.get("runtime.connectionState") != "connected":
        return "stuck"
    if runtime.get("runtime.question") is not None:
        return "stuck"
    return {"poweredOn": "on", "poweredOff": "off", "suspended": "suspended"}.get(
        runtime.get("runtime.powerState"), "stuck")


def retrieve(collector, spec):
    """Every object the spec selects, page after page."""
    result = collector.RetrievePropertiesEx([spec], PC.RetrieveOptions())
    objects = list(result.objects) if result else []
    while result and result.token:
        result = collector.ContinueRetrievePropertiesEx(result.token)
        objects += result.objects
    return objects


def check_once(args, context):
    """One check; the machine's state name, or "unknown" when no machine has that name."""
    url = urllib.parse.urlsplit(args.url)
    si = SmartConnect(host=url.hostname, port=url.port, user=args.user, pwd=args.password,
                      path=url.path or "/sdk", sslContext=context)
    try:
        content = si.RetrieveContent()
        view = content.viewManager.CreateContainerView(content.rootFolder, [vim.VirtualMachine],
                                                       True)
        try:
            names = PC.FilterSpec(
                objectSet=[PC.ObjectSpec(obj=view, skip=True, selectSet=[
                    PC.TraversalSpec(name="view", path="view", skip=False,
                                     type=vim.view.ContainerView)])],
                propSet=[PC.PropertySpec(type=vim.VirtualMachine, pathSet=["name"])])
            machine = next((o.obj for o in retrieve(content.propertyCollector, names)
                            if o.propSet and o.propSet[0].val == args.vm), None)
            if machine is None:
                return "unknown"
            runtime = PC.FilterSpec(
                objectSet=[PC.ObjectSpec(obj=machine)],
                propSet=[PC.PropertySpec(type=vim.VirtualMachine, pathSet=[
                    "runtime.powerState", "runtime.connectionState", "runtime.question"])])
            found = retrieve(content.propertyCollector, runtime)
            return state_of({p.name: p.val for p in found[0].propSet} if found else {})
        finally:
            view.Destroy()
    finally:
        Disconnect(si)


def resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    parser = argparse.ArgumentParser()
    for name in ("url", "user", "password", "vm", "state"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--checks", type=int, default=100)
    args = parser.parse_args()
    # Like the plug-in with a pinned thumbprint, the simulator's certificate is taken as it is.
    context = ssl._create_unverified_context()
    times, memory, answered = [], {}, 0
    marks = {max(1, args.checks // 10), max(1, args.checks // 2), args.checks}
    for i in range(1, args.checks + 1):
        start = time.perf_counter()
        answered += check_once(args, context) == args.state
        times.append(time.perf_counter() - start)
        if i in marks:
            memory[i] = resident_kib()
    rest = times[1:] or times
    line = "checks=%d answered=%d first_ms=%.6g median_ms=%.6g mean_ms=%.6g" % (
        args.checks, answered, times[0] * 1e3, statistics.median(rest) * 1e3,
        statistics.mean(rest) * 1e3)
    line += "".join(" rss_kib_at_%d=%d" % (done, kib) for done, kib in sorted(memory.items()))
    print(line, flush=True)
    return 0 if answered == args.checks else 1


if __name__ == "__main__":
    sys.exit(main())
