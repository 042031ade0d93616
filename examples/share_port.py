#!/usr/bin/python3
"""Shares a serial port through tethra-server from Python, on python3-dbus.

    share_port.py COMn [--refuse PROPERTY]

Opens the port, sends one greeting line, prints every line the device sends as
"received: ...", and allows every settings change other programs make except those of
PROPERTY (BaudRate unless told otherwise), which it refuses. Ends on Ctrl+C or SIGTERM.
"""
import signal
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

IID_ITETHRA = "{5AA04296-B290-4D75-80E1-DE6703FB8774}"
DIID_EVENTS = "{F8ED87C1-42AD-4DFF-ABF7-710CD4282223}"
IID_PROPERTY_SINK = "{9BFBBC02-EFF1-101A-84ED-00AA00341D07}"
DISPIDS = {"BaudRate": 25, "Bits": 17, "StopBits": 18, "ParityScheme": 16}


class Events(dbus.service.Object):
    """Receives what the port produces."""
    pending = b""

    @dbus.service.method("Ostra.Tethra._ISerialPortEvents", in_signature="ay", out_signature="i")
    def OnData(self, data):
        self.pending += bytes(data)
        while b"\n" in self.pending:
            line, self.pending = self.pending.split(b"\n", 1)
            print("received:", line.decode(errors="replace").strip(), flush=True)
        return 0

    @dbus.service.method("Ostra.Tethra._ISerialPortEvents", in_signature="i", out_signature="i")
    def OnPortEvent(self, event):
        print("line event", event, flush=True)
        return 0

    @dbus.service.method("Ostra.Tethra._ISerialPortEvents", in_signature="i", out_signature="i")
    def OnError(self, error):
        print("line error", error, flush=True)
        return 0


class Settings(dbus.service.Object):
    """Asked before another program changes a setting: 1 (S_FALSE) refuses."""
    refused = None

    @dbus.service.method("Ostra.Tethra.IPropertyNotifySink", in_signature="i", out_signature="i")
    def OnRequestEdit(self, dispid):
        if dispid == self.refused:
            print("refused a change of DISPID", dispid, flush=True)
            return 1
        return 0

    @dbus.service.method("Ostra.Tethra.IPropertyNotifySink", in_signature="i", out_signature="i")
    def OnChanged(self, dispid):
        print("another program changed DISPID", dispid, flush=True)
        return 0


def main():
    number = int(sys.argv[1].upper().replace("COM", ""))
    refuse = sys.argv[3] if len(sys.argv) > 3 and sys.argv[2] == "--refuse" else "BaudRate"
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    factory = bus.get_object("Ostra.Tethra", "/Ostra/Tethra")
    hr, registry = factory.CreateInstance(IID_ITETHRA, dbus_interface="Ostra.Tethra.IClassFactory")
    # Every later object lives at the unique name of the server that answered.
    server = bus.get_name_owner("Ostra.Tethra")
    hr, port_path = bus.get_object(server, registry).CreatePort(
        number, dbus_interface="Ostra.Tethra.ITethra")
    port = bus.get_object(server, port_path)

    events, settings = Events(bus, "/example/events"), Settings(bus, "/example/settings")
    settings.refused = DISPIDS[refuse]
    for iid, path in ((DIID_EVENTS, "/example/events"), (IID_PROPERTY_SINK, "/example/settings")):
        hr, point = port.FindConnectionPoint(iid, dbus_interface="Ostra.Tethra.IConnectionPointContainer")
        bus.get_object(server, point).Advise(dbus.ObjectPath(path),
                                             dbus_interface="Ostra.Tethra.IConnectionPoint")

    port.Send(dbus.ByteArray(b"hello from python\r\n"), True, dbus_interface="Ostra.Tethra.ISerialPort")
    print("ready", flush=True)
    loop = GLib.MainLoop()
    for number in (signal.SIGINT, signal.SIGTERM):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, number, loop.quit)
    loop.run()  # leaving the bus releases the port and the sinks


if __name__ == "__main__":
    main()
