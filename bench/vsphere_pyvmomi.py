#!/usr/bin/python3
"""The reference side of scripts/bench's vSphere comparison: the same job as one check of one
named machine (log in, find the machine among all machines under the root folder, read its
state, log out), done with pyvmomi in a loop in one process.

    vsphere_pyvmomi.py --url URL --user U --password P --vm NAME --state S [--checks N] [--raw]

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


ENVELOPE = ('<?xml version="1.0" encoding="UTF-8"?><soapenv:Envelope xmlns:soapenv='
            '"http://schemas.xmlsoap.org/soap/envelope/"><soapenv:Body>%s</soapenv:Body>'
            '</soapenv:Envelope>')


def raw_check_once(args, context):
    """One check with hand-written envelopes; the state name, or "unknown"."""
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
        return state
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
    for name in ("url", "user", "password", "vm", "state"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--checks", type=int, default=100)
    parser.add_argument("--raw", action="store_true")
    args = parser.parse_args()
    # Like the plug-in with a pinned thumbprint, the simulator's certificate is taken as it is.
    context = ssl._create_unverified_context()
    times, memory, answered = [], {}, 0
    marks = {max(1, args.checks // 10), max(1, args.checks // 2), args.checks}
    for i in range(1, args.checks + 1):
        start = time.perf_counter()
        answered += (raw_check_once if args.raw else check_once)(args, context) == args.state
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
