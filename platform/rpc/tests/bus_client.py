#!/usr/bin/python3
"""A client of the server in a process of its own, driven line by line on stdin.

    bus_client.py PORT [--events record|stall|none] [--props accept|refuse|none]

Creates the registry and a port object for PORT, advises the sinks asked for (served on
this process's own connection) and prints "READY <path>". Then reads commands:
    put NAME SIG VALUE   Properties.Set, sent asynchronously; prints "PUT ok" or
                         "PUT <error name>"
    get NAME             prints "GET <value>" or "GET <error name>"
    send HEX             Send(ay, synchronous); prints "SENT ok" or "SENT <error name>"
    sendmany N           N asynchronous Sends of "<i>" without waiting for the replies
                         in between; prints "SENTMANY ok" when all are answered
    advise-missing       advises a path where this process has no object on the
                         events connection point; prints "ADVISED <cookie>" or
                         "ADVISED <error name>"
    foreign PATH         get_BaudRate, Introspect and AddRef on PATH; prints "FOREIGN"
                         and the three results
    refs                 AddRef, AddRef, Release on the port; prints "REFS <counts>"
    release-all          releases every reference this connection holds (registry, port,
                         connection points) without Unadvise; prints "RELEASED"
    probe                makes calls that must fail and prints "<case> <error name>" for
                         each, then "PROBED"
    leave-after N        sends N CreatePort calls for PORT without waiting for their
                         replies and ends the process at once
    quit                 ends the process
Sink calls print "DATA <hex>", "REQ <dispid>", "CHG <dispid>". With --events stall the
OnData handler never answers, with --props stall the OnRequestEdit handler.
"""
import os
import sys

import dbus
import dbus.lowlevel
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

IID_ITETHRA = "{5AA04296-B290-4D75-80E1-DE6703FB8774}"
DIID_EVENTS = "{F8ED87C1-42AD-4DFF-ABF7-710CD4282223}"
IID_PROPERTY_SINK = "{9BFBBC02-EFF1-101A-84ED-00AA00341D07}"


def out(*words):
    print(*words, flush=True)


class Events(dbus.service.Object):
    def __init__(self, bus, path, stall):
        super().__init__(bus, path)
        self.stall = stall

    @dbus.service.method("Ostra.Tethra._ISerialPortEvents", in_signature="ay", out_signature="i",
                         async_callbacks=("ok", "err"))
    def OnData(self, data, ok, err):
        if self.stall:
            out("STALLED", len(data))
            return  # never answers
        out("DATA", bytes(data).hex())
        ok(0)

    @dbus.service.method("Ostra.Tethra._ISerialPortEvents", in_signature="i", out_signature="i")
    def OnPortEvent(self, event):
        out("EVENT", event)
        return 0

    @dbus.service.method("Ostra.Tethra._ISerialPortEvents", in_signature="i", out_signature="i")
    def OnError(self, code):
        out("ERROR", code)
        return 0


class PropertySink(dbus.service.Object):
    def __init__(self, bus, path, mode):
        super().__init__(bus, path)
        self.mode = mode

    @dbus.service.method("Ostra.Tethra.IPropertyNotifySink", in_signature="i", out_signature="i",
                         async_callbacks=("ok", "err"))
    def OnRequestEdit(self, dispid, ok, err):
        out("REQ", dispid)
        if self.mode != "stall":
            ok(1 if self.mode == "refuse" else 0)

    @dbus.service.method("Ostra.Tethra.IPropertyNotifySink", in_signature="i", out_signature="i")
    def OnChanged(self, dispid):
        out("CHG", dispid)
        return 0


def error_of(call):
    try:
        call()
        return "ok"
    except dbus.exceptions.DBusException as e:
        return e.get_dbus_name()


def probe(bus, server, port, port_path):
    raw = bus.get_object(server, port_path, introspect=False)
    itf = "Ostra.Tethra.ISerialPort"
    props = "org.freedesktop.DBus.Properties"
    big = dbus.Array(range(8 * 1024 * 1024), signature="i")  # 32 MiB of int32
    cases = [
        ("send-string", lambda: raw.Send(dbus.String("abc", variant_level=1), True,
                                         dbus_interface=itf, signature="vb")),
        ("send-int-array", lambda: raw.Send(dbus.Array(big, signature="i", variant_level=1), True,
                                            dbus_interface=itf, signature="vb", timeout=120)),
        ("send-struct", lambda: raw.Send(dbus.Struct((1, "x"), variant_level=1), True,
                                         dbus_interface=itf, signature="vb")),
        ("wrong-signature", lambda: raw.put_BaudRate("9600", dbus_interface=itf, signature="s")),
        ("unknown-member", lambda: raw.Frobnicate(dbus_interface=itf)),
        ("unknown-interface", lambda: raw.Frobnicate(dbus_interface="Ostra.Tethra.INothing")),
        ("set-wrong-type", lambda: raw.Set(itf, "BaudRate", dbus.String("fast", variant_level=1),
                                           dbus_interface=props)),
        ("set-read-only", lambda: raw.Set(itf, "CDLine", dbus.Boolean(True, variant_level=1),
                                          dbus_interface=props)),
        ("get-unknown", lambda: raw.Get(itf, "Speed", dbus_interface=props)),
        ("put-out-of-range", lambda: raw.put_Bits(dbus.Byte(200), dbus_interface=itf)),
        ("foreign-path", lambda: bus.get_object(server, "/Ostra/Tethra/SerialPort/999",
                                                introspect=False).get_BaudRate(dbus_interface=itf)),
        ("foreign-introspect", lambda: bus.get_object(server, "/Ostra/Tethra/SerialPort/999",
                                                      introspect=False).Introspect(
            dbus_interface="org.freedesktop.DBus.Introspectable")),
        ("unadvise-unknown", lambda: bus.get_object(server, port_path + "/_ISerialPortEvents",
                                                    introspect=False).Unadvise(
            dbus.UInt32(12345), dbus_interface="Ostra.Tethra.IConnectionPoint")),
        ("bad-riid", lambda: raw.QueryInterface("not-an-iid", dbus_interface="Ostra.Tethra.IUnknown")),
        ("no-interface", lambda: raw.QueryInterface(IID_ITETHRA, dbus_interface="Ostra.Tethra.IUnknown")),
    ]
    for name, call in cases:
        out(name, error_of(call))
    out("baud", raw.get_BaudRate(dbus_interface=itf)[1])
    # Released, the path is as foreign as any other.
    raw.Release(dbus_interface="Ostra.Tethra.IUnknown")
    out("released", error_of(lambda: raw.get_BaudRate(dbus_interface=itf)))
    out("PROBED")


def main():
    port_number = int(sys.argv[1])
    events = "none"
    props = "none"
    args = sys.argv[2:]
    while args:
        if args[0] == "--events":
            events = args[1]
        elif args[0] == "--props":
            props = args[1]
        args = args[2:]

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    factory = bus.get_object("Ostra.Tethra", "/Ostra/Tethra")
    reply = factory.CreateInstance(IID_ITETHRA, dbus_interface="Ostra.Tethra.IClassFactory")
    # Every object but the class object is addressed by the server's unique name.
    server = bus.get_name_owner("Ostra.Tethra")
    tethra = bus.get_object(server, reply[1])
    hr, port_path = tethra.CreatePort(port_number, dbus_interface="Ostra.Tethra.ITethra")
    port = bus.get_object(server, port_path)

    keep = []
    points = []  # connection points this connection holds a reference on
    if events != "none":
        sink = Events(bus, "/sink/events", events == "stall")
        keep.append(sink)
        hr, cp = port.FindConnectionPoint(DIID_EVENTS,
                                          dbus_interface="Ostra.Tethra.IConnectionPointContainer")
        points.append(cp)
        bus.get_object(server, cp).Advise("/sink/events", dbus_interface="Ostra.Tethra.IConnectionPoint")
    if props != "none":
        sink = PropertySink(bus, "/sink/props", props)
        keep.append(sink)
        hr, cp = port.FindConnectionPoint(IID_PROPERTY_SINK,
                                          dbus_interface="Ostra.Tethra.IConnectionPointContainer")
        points.append(cp)
        bus.get_object(server, cp).Advise("/sink/props", dbus_interface="Ostra.Tethra.IConnectionPoint")
    out("READY", port_path)

    loop = GLib.MainLoop()

    def failed(tag):
        return lambda e: out(tag, e.get_dbus_name())

    def command(line):
        words = line.split()
        if not words:
            return
        if words[0] == "quit":
            loop.quit()
        elif words[0] == "put":
            name, sig, text = words[1], words[2], words[3]
            value = {"u": dbus.UInt32, "i": dbus.Int32, "b": lambda t: dbus.Boolean(t == "1"),
                     "y": dbus.Byte, "n": dbus.Int16, "s": dbus.String}[sig](
                         text if sig in "sb" else int(text))
            port.Set("Ostra.Tethra.ISerialPort", name, value,
                     dbus_interface="org.freedesktop.DBus.Properties",
                     reply_handler=lambda *a: out("PUT ok"), error_handler=failed("PUT"))
        elif words[0] == "get":
            port.Get("Ostra.Tethra.ISerialPort", words[1],
                     dbus_interface="org.freedesktop.DBus.Properties",
                     reply_handler=lambda v: out("GET", v), error_handler=failed("GET"))
        elif words[0] == "advise-missing":
            hr, cp = port.FindConnectionPoint(DIID_EVENTS,
                                              dbus_interface="Ostra.Tethra.IConnectionPointContainer")
            try:
                hr, cookie = bus.get_object(server, cp, introspect=False).Advise(
                    dbus.ObjectPath("/nothing"), dbus_interface="Ostra.Tethra.IConnectionPoint")
                out("ADVISED", int(cookie))
            except dbus.exceptions.DBusException as e:
                out("ADVISED", e.get_dbus_name())
        elif words[0] == "foreign":
            other = bus.get_object(server, words[1], introspect=False)
            out("FOREIGN", error_of(lambda: other.get_BaudRate(dbus_interface="Ostra.Tethra.ISerialPort")),
                error_of(lambda: other.Introspect(dbus_interface="org.freedesktop.DBus.Introspectable")),
                error_of(lambda: other.AddRef(dbus_interface="Ostra.Tethra.IUnknown")))
        elif words[0] == "send-then-ping":
            # A synchronous Send, then a round trip on another object: PONG tells that the
            # server has taken the Send, whether or not the port has answered it.
            port.Send(dbus.ByteArray(bytes.fromhex(words[1])), True,
                      dbus_interface="Ostra.Tethra.ISerialPort",
                      reply_handler=lambda *a: out("SENT ok"), error_handler=failed("SENT"))
            tethra.Introspect(dbus_interface="org.freedesktop.DBus.Introspectable",
                              reply_handler=lambda *a: out("PONG"), error_handler=failed("PONG"))
        elif words[0] == "refs":
            unknown = "Ostra.Tethra.IUnknown"
            counts = [port.AddRef(dbus_interface=unknown), port.AddRef(dbus_interface=unknown),
                      port.Release(dbus_interface=unknown)]
            out("REFS", *[int(c) for c in counts])
        elif words[0] == "release-all":
            for path in [port_path] + points + [reply[1]]:
                bus.get_object(server, path, introspect=False).Release(
                    dbus_interface="Ostra.Tethra.IUnknown")
            out("RELEASED")
        elif words[0] == "drop-port":
            port.Release(dbus_interface="Ostra.Tethra.IUnknown")
            out("DROPPED")
        elif words[0] == "cycle":
            # Port objects made, advised, (every other one) unadvised and let go, one
            # after the other: the port's Release and its connection point's go out
            # together, as the client library sends them.
            left = [int(words[1])]
            sink = Events(bus, "/sink/cycle", False)
            keep.append(sink)

            def one():
                if left[0] == 0:
                    out("CYCLED")
                    return
                left[0] -= 1
                hr, path = tethra.CreatePort(port_number, dbus_interface="Ostra.Tethra.ITethra")
                obj = bus.get_object(server, path, introspect=False)
                hr, cp = obj.FindConnectionPoint(DIID_EVENTS,
                                                 dbus_interface="Ostra.Tethra.IConnectionPointContainer")
                point = bus.get_object(server, cp, introspect=False)
                hr, cookie = point.Advise(dbus.ObjectPath("/sink/cycle"), dbus_interface="Ostra.Tethra.IConnectionPoint")
                if left[0] % 2:  # every other round leaves the sink for the server to drop
                    point.Unadvise(cookie, dbus_interface="Ostra.Tethra.IConnectionPoint")
                pending = [2]

                def released(*args):
                    pending[0] -= 1
                    if pending[0] == 0:
                        one()
                for target in (point, obj):
                    target.Release(dbus_interface="Ostra.Tethra.IUnknown", reply_handler=released,
                                   error_handler=failed("CYCLE"))
            one()
        elif words[0] == "leave-after":
            for _ in range(int(words[1])):
                call = dbus.lowlevel.MethodCallMessage(server, reply[1], "Ostra.Tethra.ITethra",
                                                       "CreatePort")
                call.append(dbus.Int32(port_number))
                bus.send_message(call)
            bus.flush()
            os._exit(0)
        elif words[0] == "probe":
            probe(bus, server, port, port_path)
        elif words[0] == "sendmany":
            # Asynchronous sends, all on their way at once: they must reach the device
            # in the order sent.
            count = int(words[1])
            left = [count]

            def one_done(*args):
                left[0] -= 1
                if left[0] == 0:
                    out("SENTMANY ok")
            for i in range(count):
                port.Send(dbus.ByteArray(b"<%d>" % i), False, dbus_interface="Ostra.Tethra.ISerialPort",
                          reply_handler=one_done, error_handler=failed("SENTMANY"))
        elif words[0] == "send":
            port.Send(dbus.ByteArray(bytes.fromhex(words[1])), True,
                      dbus_interface="Ostra.Tethra.ISerialPort",
                      reply_handler=lambda *a: out("SENT ok"), error_handler=failed("SENT"))

    # Read from the descriptor, not through sys.stdin: its buffer would keep a second line
    # that arrived with the first, and the descriptor, read empty, would not wake us again.
    pending = [b""]

    def on_stdin(channel, condition):
        chunk = os.read(sys.stdin.fileno(), 65536)
        if not chunk:
            loop.quit()
            return False
        pending[0] += chunk
        while b"\n" in pending[0]:
            line, pending[0] = pending[0].split(b"\n", 1)
            command(line.decode())
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, on_stdin)
    loop.run()


if __name__ == "__main__":
    main()
