#!/usr/bin/python3
"""Hostile calls on the bus against a running tethra-server, on the raw message API.

    bus_fuzz.py ADDRESS --calls N [--seed S] [--seconds T]
                [--pool-port P] [--stall-port Q]

Connects to the bus at ADDRESS, where the server owns "Ostra.Tethra", and sends N calls
built at random from the seed (the default seed is fixed, so a run can be repeated; the
seed in use is printed first). COM P holds the objects the calls go to; COM Q holds the
sinks that never answer; no other port is opened (the caller checks a normal client on
one of its own). Every call is sent without waiting for the ones before (up to 32 on the way);
every call must be answered, with a reply or an error: a call left unanswered for
60 s is counted as "unanswered" and fails the run. T bounds the run's time: when it has
passed, no further call is sent.

What is sent:
- calls on paths of every kind: this connection's own objects, another connection's
  (foreign), objects this connection has released, paths that never existed, and
  random paths; with known and random interfaces (and none), known and random members,
  random signatures and values (nested variants, empty and huge arrays, dicts,
  structs), and known members with their own signature but random values;
- Properties Get, Set and GetAll with random names and values;
- Advise of sinks that reply with wrong types, with errors, without arguments, or
  never; of paths where nothing is; of sinks withdrawn right after the Advise; from
  connections that close before the answer;
- changes of a setting on the port whose property sinks never answer, so the server
  waits for them and gives up.

Prints "seed S", then "calls N answered A unanswered U seconds T" and one line per kind
of answer ("answer <name> <count>"). Exit code 0 when every call was answered.
"""
import argparse
import random
import sys
import time
import types

import dbus
import dbus.bus
import dbus.lowlevel
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = "Ostra.Tethra"
IID_ITETHRA = "{5AA04296-B290-4D75-80E1-DE6703FB8774}"
IID_IUNKNOWN = "{00000000-0000-0000-C000-000000000046}"
IID_IDISPATCH = "{00020400-0000-0000-C000-000000000046}"
DIID_EVENTS = "{F8ED87C1-42AD-4DFF-ABF7-710CD4282223}"
IID_PROPERTY_SINK = "{9BFBBC02-EFF1-101A-84ED-00AA00341D07}"
EVENTS = "Ostra.Tethra._ISerialPortEvents"
PROPSINK = "Ostra.Tethra.IPropertyNotifySink"
PROPS = "org.freedesktop.DBus.Properties"
WINDOW = 32
CALL_TIMEOUT_S = 60.0

INTERFACES = [
    "Ostra.Tethra.IClassFactory", "Ostra.Tethra.IUnknown", "Ostra.Tethra.ITethra",
    "Ostra.Tethra.ISerialPort", "Ostra.Tethra.IConnectionPointContainer",
    "Ostra.Tethra.IConnectionPoint", PROPS, "org.freedesktop.DBus.Introspectable",
    "org.freedesktop.DBus.Peer", EVENTS, PROPSINK, "Ostra.Tethra.INothing", "a.b", None,
]
# Port numbers a call may open: the pool's, and numbers no device stands behind. The
# fuzzer never opens the default devices of the machine (/dev/ttyS*, ...).
SAFE_PORTS = [0, -1, 97, 1000, 2**31 - 1, -2**31]
PROPERTY_NAMES = ["BaudRate", "Bits", "Parity", "StopBits", "CDLine", "Speed", "", "baudrate",
                  "ReceiveBufferSize", "ReadIntervalTimeOut", "x" * 300]
BASIC = "ybnqiuxtdsog"


class Fuzz:
    def __init__(self, rnd):
        self.rnd = rnd

    # ---- random types and values ------------------------------------------------------
    def signature(self, depth=0):
        r = self.rnd.random()
        if depth > 4 or r < 0.55:
            return self.rnd.choice(BASIC)
        if r < 0.7:
            return "v"
        if r < 0.82:
            return "a" + self.signature(depth + 1)
        if r < 0.9:
            return "a{" + self.rnd.choice(BASIC) + self.signature(depth + 1) + "}"
        return "(" + "".join(self.signature(depth + 1) for _ in range(self.rnd.randint(1, 3))) + ")"

    def signatures(self):
        return "".join(self.signature() for _ in range(self.rnd.randint(0, 4)))

    def path(self):
        return "/" + "/".join(self.rnd.choice(["Ostra", "Tethra", "SerialPort", str(self.rnd.randint(0, 50)),
                                               "_ISerialPortEvents", "IPropertyNotifySink", "x_1"])
                              for _ in range(self.rnd.randint(0, 5)))

    def integer(self, bits, signed):
        lo, hi = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if signed else (0, (1 << bits) - 1)
        return self.rnd.choice([lo, hi, 0, 1, -1 if signed else 2, self.rnd.randint(lo, hi)])

    def value(self, sig, variant_level=0, depth=0):
        """A value of the complete type sig, typed so that a variant carries sig."""
        c = sig[0]
        kw = {"variant_level": variant_level} if variant_level else {}
        if c == "y":
            return dbus.Byte(self.integer(8, False), **kw)
        if c == "b":
            return dbus.Boolean(self.rnd.random() < 0.5, **kw)
        if c == "n":
            return dbus.Int16(self.integer(16, True), **kw)
        if c == "q":
            return dbus.UInt16(self.integer(16, False), **kw)
        if c == "i":
            return dbus.Int32(self.integer(32, True), **kw)
        if c == "u":
            return dbus.UInt32(self.integer(32, False), **kw)
        if c == "x":
            return dbus.Int64(self.integer(64, True), **kw)
        if c == "t":
            return dbus.UInt64(self.integer(64, False), **kw)
        if c == "d":
            return dbus.Double(self.rnd.choice([0.0, -1.5, 1e308, float("inf"), float("nan")]), **kw)
        if c == "s":
            return dbus.String(self.rnd.choice(["", "x", IID_ITETHRA, DIID_EVENTS, "é\u20ac",
                                                "{" * 40, "a" * self.rnd.randint(0, 2000)]), **kw)
        if c == "o":
            return dbus.ObjectPath(self.path(), **kw)
        if c == "g":
            return dbus.Signature(self.signatures(), **kw)
        if c == "v":
            inner = self.signature(depth + 1) if depth < 6 else "i"
            return self.value(inner, variant_level=variant_level + 1, depth=depth + 1)
        if c == "a" and sig[1] == "{":
            key, val = sig[2], sig[3:-1]
            n = self.rnd.choice([0, 1, 3])
            return dbus.Dictionary({self.value(key): self.value(val, depth=depth + 1) for _ in range(n)},
                                   signature=key + val, **kw)
        if c == "a":
            elem = sig[1:]
            if elem == "y":
                n = self.rnd.choice([0, 1, 16, 4096])
                return dbus.ByteArray(self.rnd.randbytes(n), **kw)
            n = self.rnd.choice([0, 1, 2, 5])
            return dbus.Array([self.value(elem, depth=depth + 1) for _ in range(n)], signature=elem, **kw)
        if c == "(":
            return dbus.Struct([self.value(s, depth=depth + 1) for s in split(sig[1:-1])], **kw)
        raise ValueError(sig)

    def huge(self):
        """A member and one huge argument: a byte array of 1 or 4 MiB (as Send's data,
        or anywhere), or 64 Ki int32."""
        r = self.rnd.random()
        data = self.rnd.randbytes(self.rnd.choice([1 << 20, 4 << 20]))
        if r < 0.3:
            return "Send", "vb", [dbus.ByteArray(data, variant_level=1), dbus.Boolean(r < 0.15)]
        if r < 0.7:
            return "Frob", "ay", [dbus.ByteArray(data)]
        return "Frob", "ai", [dbus.Array([dbus.Int32(i) for i in range(1 << 16)], signature="i")]


def split(sig):
    """The complete types of a signature."""
    out, i = [], 0
    while i < len(sig):
        j = i
        while sig[j] == "a":
            j += 1
        if sig[j] in "({":
            depth = 0
            while True:
                depth += sig[j] in "({"
                depth -= sig[j] in ")}"
                j += 1
                if depth == 0:
                    break
        else:
            j += 1
        out.append(sig[i:j])
        i = j
    return out


# ---- sinks of every bad kind ------------------------------------------------------------

SINK_MEMBERS = [(EVENTS, "OnData", "ay"), (EVENTS, "OnPortEvent", "i"), (EVENTS, "OnError", "i"),
                (PROPSINK, "OnRequestEdit", "i"), (PROPSINK, "OnChanged", "i")]


def sink_class(name, doc, out_signatures, reply=None):
    """A sink class with the five handlers, out_signatures[i] being the ith one's; each
    returns (or raises) what reply(member) does, or never answers when reply is None."""
    members = {"__doc__": doc}
    for (itf, member, in_signature), out_signature in zip(SINK_MEMBERS, out_signatures):
        options = {"byte_arrays": True} if in_signature == "ay" else {}
        if reply is None:
            options["async_callbacks"] = ("ok", "err")

            def handler(self, arg, ok, err):
                pass
        else:
            def handler(self, arg, *, member=member):
                return reply(member)
        handler.__name__ = member
        members[member] = dbus.service.method(itf, in_signature=in_signature,
                                              out_signature=out_signature, **options)(handler)
    return types.new_class(name, (dbus.service.Object,), exec_body=lambda ns: ns.update(members))


def refuse(member):
    raise dbus.exceptions.DBusException("sink refuses", name="Ostra.Tethra.Error.E_FAIL")


WrongTypes = sink_class("WrongTypes", "Answers every notification with a string where an "
                        "HRESULT belongs.", ["s", "s", "s", "as", "s"],
                        lambda member: ["no"] if member == "OnRequestEdit" else "x")
Errors = sink_class("Errors", "Answers every notification with an error.", ["i"] * 5, refuse)
Empty = sink_class("Empty", "Answers every notification without arguments.", [""] * 5,
                   lambda member: None)
Never = sink_class("Never", "Never answers anything.", ["i"] * 5)


# ---- a client connection and its objects ------------------------------------------------

class Client:
    """A connection with a port registry and port objects, made with blocking calls."""
    def __init__(self, address):
        self.bus = dbus.bus.BusConnection(address)
        self.server = self.bus.get_name_owner(NAME)
        self.registry = self.call(NAME, "/Ostra/Tethra", "Ostra.Tethra.IClassFactory", "CreateInstance",
                                  "s", [IID_ITETHRA])[1]

    def call(self, dest, path, itf, member, sig, args):
        return self.bus.call_blocking(dest, path, itf, member, sig, args, timeout=CALL_TIMEOUT_S)

    def port(self, number):
        """A port object and its two connection points: (port, events cp, props cp)."""
        port = self.call(self.server, self.registry, "Ostra.Tethra.ITethra", "CreatePort", "i", [number])[1]
        cps = [self.call(self.server, port, "Ostra.Tethra.IConnectionPointContainer", "FindConnectionPoint",
                         "s", [iid])[1] for iid in (DIID_EVENTS, IID_PROPERTY_SINK)]
        return str(port), str(cps[0]), str(cps[1])

    def advise(self, cp, sink):
        return self.call(self.server, cp, "Ostra.Tethra.IConnectionPoint", "Advise", "o", [sink])


class Run:
    def __init__(self, args):
        self.args = args
        self.rnd = random.Random(args.seed)
        self.fuzz = Fuzz(self.rnd)
        self.answers = {}
        self.sent = 0
        self.answered = 0
        self.unanswered = 0
        self.in_flight = 0
        self.ctx = GLib.MainContext.default()

        self.me = Client(args.address)
        self.other = Client(args.address)
        self.server = self.me.server
        # The sinks this connection serves, each advised on a port object of its own.
        self.sinks = {"/fz/wrong": WrongTypes(self.me.bus, "/fz/wrong"),
                      "/fz/error": Errors(self.me.bus, "/fz/error"),
                      "/fz/empty": Empty(self.me.bus, "/fz/empty"),
                      "/fz/never": Never(self.me.bus, "/fz/never")}
        self.own = [self.me.registry]
        for sink in ("/fz/wrong", "/fz/error", "/fz/empty"):
            port = self.me.port(args.pool_port)
            self.own += port
            self.me.advise(port[1], sink)
            self.me.advise(port[2], sink)
        # Sinks that never answer, on a port of their own, and an object that changes a
        # setting there now and then (the server waits for them and gives up).
        stall = self.me.port(args.stall_port)
        self.me.advise(stall[1], "/fz/never")
        self.me.advise(stall[2], "/fz/never")
        self.changer = self.me.port(args.stall_port)[0]
        self.changing = False
        # Another connection's objects, and objects this connection has let go.
        self.foreign = [self.other.registry, *self.other.port(args.pool_port)]
        self.released = []
        for _ in range(2):
            port = self.me.port(args.pool_port)
            for path in port:
                self.me.call(self.server, path, "Ostra.Tethra.IUnknown", "Release", "", [])
            self.released += port
        self.members = self.introspect_members()

    def introspect_members(self):
        """(interface, member, signature) of every method the server's objects list."""
        import xml.etree.ElementTree as ET
        found = []
        for path in (self.me.registry, self.own[1], self.own[2], "/Ostra/Tethra"):
            dest = NAME if path == "/Ostra/Tethra" else self.server
            xml = self.me.call(dest, path, "org.freedesktop.DBus.Introspectable", "Introspect", "", [])
            for itf in ET.fromstring(xml).iter("interface"):
                for m in itf.iter("method"):
                    sig = "".join(a.get("type") for a in m.iter("arg") if a.get("direction", "in") == "in")
                    found.append((itf.get("name"), m.get("name"), sig))
        return found

    # ---- sending --------------------------------------------------------------------
    def send(self, dest, path, itf, member, sig, args, conn=None):
        conn = conn or self.me.bus
        try:
            msg = dbus.lowlevel.MethodCallMessage(dest, path, itf, member)
            if sig:
                msg.append(*args, signature=sig)
        except (TypeError, ValueError, OverflowError):
            return  # a value the library itself refuses to marshal
        self.sent += 1
        self.in_flight += 1
        conn.send_message_with_reply(msg, self.answer, CALL_TIMEOUT_S, require_main_loop=True)

    def answer(self, reply):
        self.in_flight -= 1
        if isinstance(reply, dbus.lowlevel.ErrorMessage):
            name = reply.get_error_name()
            if name in ("org.freedesktop.DBus.Error.NoReply", "org.freedesktop.DBus.Error.Disconnected",
                        "org.freedesktop.DBus.Error.Timeout"):
                self.unanswered += 1
                print("unanswered:", name, reply.get_args_list()[:1], flush=True)
            else:
                self.answered += 1
        else:
            name = "reply"
            self.answered += 1
        self.answers[name] = self.answers.get(name, 0) + 1

    def wait_window(self, limit):
        while self.in_flight > limit:
            self.ctx.iteration(True)
        while self.ctx.pending():
            self.ctx.iteration(False)

    # ---- the kinds of call ----------------------------------------------------------
    def any_path(self):
        r = self.rnd.random()
        if r < 0.45:
            return self.rnd.choice(self.own)
        if r < 0.6:
            return self.rnd.choice(self.foreign)
        if r < 0.75:
            return self.rnd.choice(self.released)
        if r < 0.85:
            return "/Ostra/Tethra"
        return self.fuzz.path()

    def args_for(self, path, member, sig):
        if member == "CreatePort":
            return [dbus.Int32(self.rnd.choice(SAFE_PORTS + [self.args.pool_port]))]
        if member == "Release" and sig == "" and path in self.own:
            return None  # this connection keeps its own objects
        return [self.fuzz.value(t) for t in split(sig)]

    def one(self):
        r = self.rnd.random()
        path = self.any_path()
        dest = NAME if path == "/Ostra/Tethra" and self.rnd.random() < 0.5 else self.server
        if r < 0.3:
            # A member the server has, with random arguments.
            itf, member, _ = self.rnd.choice(self.members)
            sig = self.fuzz.signatures()
            if member == "CreatePort":
                sig = "i"
            args = self.args_for(path, member, sig)
            if args is not None:
                self.send(dest, path, itf, member, sig, args)
        elif r < 0.55:
            # A member with its own signature and random values.
            itf, member, sig = self.rnd.choice(self.members)
            args = self.args_for(path, member, sig)
            if args is not None:
                self.send(dest, path, itf, member, sig, args)
        elif r < 0.7:
            # Random interfaces and members.
            member = self.rnd.choice(["Frob", "get_", "put_BaudRate", "Send", "Advise", "a" * 200, "X1"])
            self.send(dest, path, self.rnd.choice(INTERFACES), member, *self.random_args())
        elif r < 0.82:
            self.properties(dest, path)
        elif r < 0.9:
            self.send(dest, path, self.rnd.choice(INTERFACES), "Send", "vb",
                      [self.fuzz.value("v"), dbus.Boolean(self.rnd.random() < 0.5)])
        elif r < 0.95:
            cp = self.rnd.choice([p for p in self.own if "/I" in p or "/_I" in p] + self.foreign[-2:])
            # Never the sink that never answers: on this port it would hold up the changes
            # that the calls here make, and so the calls themselves.
            sink = self.rnd.choice(["/fz/wrong", "/fz/error", "/fz/empty", "/nothing/here", "/",
                                    self.fuzz.path()])
            if self.rnd.random() < 0.5:
                self.send(self.server, cp, "Ostra.Tethra.IConnectionPoint", "Advise", "o", [dbus.ObjectPath(sink)])
            else:
                self.send(self.server, cp, "Ostra.Tethra.IConnectionPoint", "Unadvise", "u",
                          [dbus.UInt32(self.rnd.randint(0, 40))])
        elif r < 0.955:
            member, sig, args = self.fuzz.huge()
            itf = "Ostra.Tethra.ISerialPort" if member == "Send" else self.rnd.choice(INTERFACES)
            self.send(dest, path, itf, member, sig, args)
        else:
            self.send(dest, path, "org.freedesktop.DBus.Introspectable", "Introspect", "", [])

    def random_args(self):
        sig = self.fuzz.signatures()
        return sig, [self.fuzz.value(t) for t in split(sig)]

    def properties(self, dest, path):
        name = self.rnd.choice(PROPERTY_NAMES)
        itf = self.rnd.choice(["Ostra.Tethra.ISerialPort", "", "Ostra.Tethra.INothing"])
        r = self.rnd.random()
        if r < 0.4:
            self.send(dest, path, PROPS, "Get", "ss", [itf, name])
        elif r < 0.5:
            self.send(dest, path, PROPS, "GetAll", "s", [itf])
        else:
            self.send(dest, path, PROPS, "Set", "ssv", [itf, name, self.fuzz.value("v")])

    def vanishing(self):
        """A connection that advises a sink and leaves before the answer, or withdraws
        the sink right after advising it."""
        client = Client(self.args.address)
        port = client.port(self.args.pool_port)
        if self.rnd.random() < 0.5:
            sink = Empty(client.bus, "/gone")
            msg = dbus.lowlevel.MethodCallMessage(client.server, port[1 + self.rnd.randint(0, 1)],
                                                  "Ostra.Tethra.IConnectionPoint", "Advise")
            msg.append(dbus.ObjectPath("/gone"), signature="o")
            client.bus.send_message(msg)
            client.bus.flush()
            sink.remove_from_connection()
        else:
            sink = Empty(client.bus, "/gone")
            client.advise(port[1], "/gone")
            sink.remove_from_connection()
            client.advise(port[2], "/gone")
        client.bus.close()

    def change_setting(self):
        """Puts BaudRate on the stalling port; its sinks never answer."""
        if self.changing:
            return
        self.changing = True

        def done(reply):
            self.changing = False
            self.answer(reply)
        msg = dbus.lowlevel.MethodCallMessage(self.server, self.changer, "Ostra.Tethra.ISerialPort",
                                              "put_BaudRate")
        msg.append(dbus.Int32(self.rnd.choice([9600, 19200])), signature="i")
        self.sent += 1
        self.in_flight += 1
        self.me.bus.send_message_with_reply(msg, done, CALL_TIMEOUT_S, require_main_loop=True)

    def run(self):
        start = time.monotonic()
        for i in range(self.args.calls):
            if time.monotonic() - start > self.args.seconds:
                print("time is up after", i, "calls", flush=True)
                break
            if i % 250 == 0:
                self.vanishing()
            if i % 500 == 0:
                self.change_setting()
            self.one()
            self.wait_window(WINDOW)
        self.wait_window(0)
        elapsed = time.monotonic() - start
        print("calls", self.sent, "answered", self.answered, "unanswered", self.unanswered,
              "seconds %.1f" % elapsed, flush=True)
        for name, count in sorted(self.answers.items()):
            print("answer", name, count)
        return 0 if self.unanswered == 0 and self.answered == self.sent else 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("address")
    parser.add_argument("--calls", type=int, default=3000)
    parser.add_argument("--seed", type=int, default=20261206)
    parser.add_argument("--seconds", type=float, default=600)
    parser.add_argument("--pool-port", type=int, default=1)
    parser.add_argument("--stall-port", type=int, default=3)
    args = parser.parse_args()
    print("seed", args.seed, flush=True)
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    sys.exit(Run(args).run())


if __name__ == "__main__":
    main()
