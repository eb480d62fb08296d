#!/usr/bin/python3
"""The reference side of scripts/bench's vSphere comparison: the same job as one check of one
named machine (log in, find the machine among all machines under the root folder, read its
state, log out), done with pyvmomi in a loop in one process. --check does another check's job
instead, through a container view and the same properties as the plug-in reads: guest (the
named machine's power, tools and heartbeat), snapshot (every machine's snapshot trees, their
ages by the server's clock, at most 7 days) or datastore (every datastore accessible with at
least 10 % free).

    vsphere_pyvmomi.py --url URL --user U --password P [--vm NAME] [--state S]
                       [--check guest|snapshot|datastore] [--checks N] [--raw]

With --raw the same requests go out as hand-written envelopes over one kept-alive connection
and the answers are only searched, not parsed: close to the simulator's own time, the floor
under any client's figure.

Prints one line of name=value pairs, like vsphere-bench.exe: the time of the first check, the
median and mean of the others, and the resident memory after the first tenth of the checks,
after half of them and at the end.
"""
import argparse
import http.client
import re
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


def retrieve(collector, filter_spec):
    """Every object the filter selects, page after page."""
    result = collector.RetrievePropertiesEx([filter_spec], PC.RetrieveOptions())
    objects = list(result.objects) if result else []
    while result and result.token:
        result = collector.ContinueRetrievePropertiesEx(result.token)
        objects += result.objects
    return objects


def retrieve_all(content, managed_type, paths):
    """`paths` of every object of `managed_type` through a container view, as name-value maps."""
    view = content.viewManager.CreateContainerView(content.rootFolder, [managed_type], True)
    try:
        wanted = PC.FilterSpec(
            objectSet=[PC.ObjectSpec(obj=view, skip=True, selectSet=[
                PC.TraversalSpec(name="view", path="view", skip=False,
                                 type=vim.view.ContainerView)])],
            propSet=[PC.PropertySpec(type=managed_type, pathSet=paths)])
        return [(o.obj, {p.name: p.val for p in o.propSet or []})
                for o in retrieve(content.propertyCollector, wanted)]
    finally:
        view.Destroy()


def machine_properties(content, name, paths):
    """`paths` of the machine named `name`; None when no machine has that name."""
    machine = next((obj for obj, values in retrieve_all(content, vim.VirtualMachine, ["name"])
                    if values.get("name") == name), None)
    if machine is None:
        return None
    wanted = PC.FilterSpec(objectSet=[PC.ObjectSpec(obj=machine)],
                         propSet=[PC.PropertySpec(type=vim.VirtualMachine, pathSet=paths)])
    found = retrieve(content.propertyCollector, wanted)
    return {p.name: p.val for p in found[0].propSet} if found else {}


def machine_state(args, si, content):
    """The machine-state check: True when the named machine is in the state asked for."""
    runtime = machine_properties(content, args.vm, [
        "runtime.powerState", "runtime.connectionState", "runtime.question"])
    return runtime is not None and state_of(runtime) == args.state


def guest_alive(args, si, content):
    """GUEST: the named machine is on, its tools run and its heartbeat is green."""
    guest = machine_properties(content, args.vm, [
        "runtime.powerState", "guest.toolsRunningStatus", "guestHeartbeatStatus"])
    return guest is not None and guest.get("runtime.powerState") == "poweredOn" and \
        guest.get("guest.toolsRunningStatus") == "guestToolsRunning" and \
        guest.get("guestHeartbeatStatus") == "green"


MAX_AGE_DAYS = 7
MIN_FREE_PERCENT = 10


def snapshots_young(args, si, content):
    """SNAPSHOT of every machine: none older than MAX_AGE_DAYS by the server's clock."""
    now = si.CurrentTime()

    def too_old(trees):
        return any((now - tree.createTime).days > MAX_AGE_DAYS or too_old(tree.childSnapshotList)
                   for tree in trees or [])

    machines = retrieve_all(content, vim.VirtualMachine, ["name", "snapshot.rootSnapshotList"])
    return not any(too_old(values.get("snapshot.rootSnapshotList")) for _, values in machines)


def datastores_free(args, si, content):
    """DATASTORE of every datastore: each accessible with at least MIN_FREE_PERCENT free."""
    stores = retrieve_all(content, vim.Datastore, [
        "name", "summary.accessible", "summary.capacity", "summary.freeSpace"])
    return bool(stores) and all(
        v.get("summary.accessible") and v.get("summary.capacity", 0) > 0 and
        v.get("summary.freeSpace", 0) * 100 >= MIN_FREE_PERCENT * v["summary.capacity"]
        for _, v in stores)


CHECKS = {"machine": machine_state, "guest": guest_alive, "snapshot": snapshots_young,
          "datastore": datastores_free}


def check_once(args, context):
    """One check; True when the check's answer is True."""
    url = urllib.parse.urlsplit(args.url)
    si = SmartConnect(host=url.hostname, port=url.port, user=args.user, pwd=args.password,
                      path=url.path or "/sdk", sslContext=context)
    try:
        return CHECKS[args.check](args, si, si.RetrieveContent())
    finally:
        Disconnect(si)


ENVELOPE = ('<?xml version="1.0" encoding="UTF-8"?><soapenv:Envelope xmlns:soapenv='
            '"http://schemas.xmlsoap.org/soap/envelope/"><soapenv:Body>%s</soapenv:Body>'
            '</soapenv:Envelope>')


def raw_check_once(args, context):
    """One machine-state check with hand-written envelopes; True when it finds the state."""
    url = urllib.parse.urlsplit(args.url)
    connection = http.client.HTTPSConnection(url.hostname, url.port, context=context)
    cookie = []

    def call(body):
        headers = {"Content-Type": "text/xml; charset=utf-8", "SOAPAction": '"urn:vim25/6.5"'}
        if cookie:
            headers["Cookie"] = cookie[0]
        connection.request("POST", url.path or "/sdk", ENVELOPE % body, headers)
        answer = connection.getresponse()
        if answer.getheader("Set-Cookie"):
            cookie[:] = [answer.getheader("Set-Cookie").split(";")[0]]
        return answer.read().decode()

    content = call('<RetrieveServiceContent xmlns="urn:vim25"><_this type="ServiceInstance">'
                   'ServiceInstance</_this></RetrieveServiceContent>')
    ref = lambda name: re.search("<%s type=\"(\\w+)\">([^<]*)<" % name, content).groups()
    manager, collector, views, root = (ref(n) for n in (
        "sessionManager", "propertyCollector", "viewManager", "rootFolder"))
    this = lambda r, tag="_this": '<%s type="%s">%s</%s>' % (tag, r[0], r[1], tag)
    call('<Login xmlns="urn:vim25">%s<userName>%s</userName><password>%s</password></Login>'
         % (this(manager), args.user, args.password))
    try:
        view = re.search(r"<returnval[^>]*>([^<]*)<", call(
            '<CreateContainerView xmlns="urn:vim25">%s%s<type>VirtualMachine</type>'
            '<recursive>true</recursive></CreateContainerView>'
            % (this(views), this(root, "container")))).group(1)
        names = call(
            '<RetrievePropertiesEx xmlns="urn:vim25">%s<specSet><propSet><type>VirtualMachine'
            '</type><pathSet>name</pathSet></propSet><objectSet><obj type="ContainerView">%s'
            '</obj><skip>true</skip><selectSet xmlns:xsi="http://www.w3.org/2001/XMLSchema-'
            'instance" xsi:type="TraversalSpec"><type>ContainerView</type><path>view</path>'
            '<skip>false</skip></selectSet></objectSet></specSet><options/>'
            '</RetrievePropertiesEx>' % (this(collector), view))
        found = re.search(r'<obj type="VirtualMachine">([^<]*)</obj><propSet><name>name</name>'
                          r'<val[^>]*>%s</val>' % re.escape(args.vm), names)
        state = "unknown"
        if found:
            runtime = call(
                '<RetrievePropertiesEx xmlns="urn:vim25">%s<specSet><propSet><type>VirtualMachine'
                '</type><pathSet>runtime.connectionState</pathSet><pathSet>runtime.question'
                '</pathSet><pathSet>runtime.powerState</pathSet></propSet><objectSet>'
                '<obj type="VirtualMachine">%s</obj></objectSet></specSet><options/>'
                '</RetrievePropertiesEx>' % (this(collector), found.group(1)))
            values = dict(re.findall(r"<name>([^<]*)</name><val[^>]*>([^<]*)<", runtime))
            values["runtime.question"] = True if "runtime.question" in runtime else None
            state = state_of(values)
        call('<DestroyView xmlns="urn:vim25"><_this type="ContainerView">%s</_this></DestroyView>'
             % view)
        return state == args.state
    finally:
        call('<Logout xmlns="urn:vim25">%s</Logout>' % this(manager))
        connection.close()


def resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    parser = argparse.ArgumentParser()
    for name in ("url", "user", "password"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--vm", default="")
    parser.add_argument("--state", default="")
    parser.add_argument("--check", choices=sorted(CHECKS), default="machine")
    parser.add_argument("--checks", type=int, default=100)
    parser.add_argument("--raw", action="store_true")
    args = parser.parse_args()
    if args.raw and args.check != "machine":
        parser.error("--raw does the machine-state check only")
    # Like the plug-in with a pinned thumbprint, the simulator's certificate is taken as it is.
    context = ssl._create_unverified_context()
    times, memory, answered = [], {}, 0
    marks = {max(1, args.checks // 10), max(1, args.checks // 2), args.checks}
    for i in range(1, args.checks + 1):
        start = time.perf_counter()
        answered += bool((raw_check_once if args.raw else check_once)(args, context))
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
