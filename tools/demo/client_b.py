#!/usr/bin/python3
"""Client B of the demonstration: a Python program on python3-dbus that shares COM1.

    client_b.py PORT

Creates the port registry through the bus, opens PORT, advises its two sinks and prints
"[B] ready". Every notification it receives is printed as a line starting with "[B]".
Commands, one per line on standard input:
    send TEXT     sends TEXT and a line end to the port
    refuse NAME   from now on answers "no" when asked about a change of property NAME
    allow         answers "yes" again
    quit          releases everything and ends
"""
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

IID_ITETHRA = "{5AA04296-B290-4D75-80E1-DE6703FB8774}"
DIID_EVENTS = "{F8ED87C1-42AD-4DFF-ABF7-710CD4282223}"
IID_PROPERTY_SINK = "{9BFBBC02-EFF1-101A-84ED-00AA00341D07}"
ITF_PORT = "Ostra.Tethra.ISerialPort"
ITF_CONTAINER = "Ostra.Tethra.IConnectionPointContainer"
ITF_POINT = "Ostra.Tethra.IConnectionPoint"
# The DISPIDs of the properties the demonstration changes.
NAMES = {25: "BaudRate", 17: "Bits"}


def say(text):
    print("  [B] " + text, flush=True)


class Events(dbus.service.Object):
    def __init__(self, bus, path):
        super().__init__(bus, path)
        self.pending = b""

    @dbus.service.method("Ostra.Tethra._ISerialPortEvents", in_signature="ay", out_signature="i")
    def OnData(self, data):
        self.pending += bytes(data)
        while b"\n" in self.pending:
            line, self.pending = self.pending.split(b"\n", 1)
            say("received: " + line.decode(errors="replace").strip())
        return 0

    @dbus.service.method("Ostra.Tethra._ISerialPortEvents", in_signature="i", out_signature="i")
    def OnPortEvent(self, event):
        say("line event %d" % event)
        return 0

    @dbus.service.method("Ostra.Tethra._ISerialPortEvents", in_signature="i", out_signature="i")
    def OnError(self, code):
        say("line error %d" % code)
        return 0


class PropertySink(dbus.service.Object):
    def __init__(self, bus, path):
        super().__init__(bus, path)
        self.refused = None

    @dbus.service.method("Ostra.Tethra.IPropertyNotifySink", in_signature="i", out_signature="i")
    def OnRequestEdit(self, dispid):
        name = NAMES.get(dispid, str(dispid))
        allow = name != self.refused
        say("asked: may %s (%d) change? %s" % (name, dispid, "yes" if allow else "no"))
        return 0 if allow else 1  # S_FALSE refuses

    @dbus.service.method("Ostra.Tethra.IPropertyNotifySink", in_signature="i", out_signature="i")
    def OnChanged(self, dispid):
        say("told: %s (%d) changed" % (NAMES.get(dispid, str(dispid)), dispid))
        return 0


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    factory = bus.get_object("Ostra.Tethra", "/Ostra/Tethra")
    hr, registry_path = factory.CreateInstance(IID_ITETHRA, dbus_interface="Ostra.Tethra.IClassFactory")
    # Every object but the class object is addressed by the server's unique name.
    server = bus.get_name_owner("Ostra.Tethra")
    registry = bus.get_object(server, registry_path)
    hr, port_path = registry.CreatePort(int(sys.argv[1]), dbus_interface="Ostra.Tethra.ITethra")
    port = bus.get_object(server, port_path)
    events = Events(bus, "/demo/events")
    props = PropertySink(bus, "/demo/props")
    for iid, path in ((DIID_EVENTS, "/demo/events"), (IID_PROPERTY_SINK, "/demo/props")):
        hr, point = port.FindConnectionPoint(iid, dbus_interface=ITF_CONTAINER)
        bus.get_object(server, point).Advise(dbus.ObjectPath(path), dbus_interface=ITF_POINT)
    say("ready")

    loop = GLib.MainLoop()

    def command(channel, condition):
        line = sys.stdin.readline()
        words = line.split(None, 1)
        if not words or words[0] == "quit":
            port.Release(dbus_interface="Ostra.Tethra.IUnknown")
            registry.Release(dbus_interface="Ostra.Tethra.IUnknown")
            loop.quit()
            return False
        if words[0] == "send":
            data = dbus.ByteArray((words[1].rstrip("\n") + "\r\n").encode())
            # A synchronous send, called without blocking this loop, so the sinks go on
            # being served while the port sends.
            port.Send(data, True, dbus_interface=ITF_PORT,
                      reply_handler=lambda *a: say("Send -> S_OK"),
                      error_handler=lambda e: say("Send -> " + e.get_dbus_name()))
        elif words[0] == "refuse":
            props.refused = words[1].strip()
            say("from now on refuses changes of " + props.refused)
        elif words[0] == "allow":
            props.refused = None
            say("allows every change again")
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, command)
    loop.run()
    del events


if __name__ == "__main__":
    main()
