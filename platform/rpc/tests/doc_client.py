#!/usr/bin/python3
"""A python3-dbus client for rpc_doc_tests. One connection, one command:

  introspect PORT        prints the Introspect reply of every kind of object, each as
                         "PATH <path>", the document, "END"
  send FILE PORT         sends the file's bytes as one "ay" Send (synchronous); prints
                         "hr <n>" or "error <name>"
  wrong-types PORT       puts every writable property with every variant type but its
                         own, through Properties.Set and put_<Name>; prints one line per
                         property: "<Name> <type> ok" or what went wrong
  send-wrong PORT        Send with every variant type but "ay"; prints "<type> <error>"
  hold                   takes a server lock (LockServer) and keeps it until standard
                         input ends, so the server does not end between examples
"""
import sys

import dbus

IID_ITETHRA = "{5AA04296-B290-4D75-80E1-DE6703FB8774}"
DIID_EVENTS = "{F8ED87C1-42AD-4DFF-ABF7-710CD4282223}"
IID_PROPERTY_SINK = "{9BFBBC02-EFF1-101A-84ED-00AA00341D07}"
ISERIALPORT = "Ostra.Tethra.ISerialPort"
PROPERTIES = "org.freedesktop.DBus.Properties"

# One value of every bus type a property may have, and a few it never has.
SAMPLES = {
    "b": dbus.Boolean(True, variant_level=1),
    "i": dbus.Int32(7, variant_level=1),
    "u": dbus.UInt32(7, variant_level=1),
    "n": dbus.Int16(7, variant_level=1),
    "q": dbus.UInt16(7, variant_level=1),
    "y": dbus.Byte(7, variant_level=1),
    "x": dbus.Int64(7, variant_level=1),
    "d": dbus.Double(7.0, variant_level=1),
    "s": dbus.String("7", variant_level=1),
    "ay": dbus.ByteArray(b"\x07", variant_level=1),
    "ai": dbus.Array([7], signature="i", variant_level=1),
    "(i)": dbus.Struct((7,), signature="i", variant_level=1),
}


def connect(port_number):
    bus = dbus.SessionBus()
    server = bus.activate_name_owner("Ostra.Tethra")
    factory = bus.get_object(server, "/Ostra/Tethra", introspect=False)
    _, tethra_path = factory.CreateInstance(IID_ITETHRA, dbus_interface="Ostra.Tethra.IClassFactory")
    tethra = bus.get_object(server, tethra_path, introspect=False)
    _, port_path = tethra.CreatePort(dbus.Int32(port_number), dbus_interface="Ostra.Tethra.ITethra")
    return bus, server, tethra_path, port_path, bus.get_object(server, port_path, introspect=False)


def error_name(call):
    try:
        call()
        return "none"
    except dbus.DBusException as e:
        return e.get_dbus_name()


def introspect(port_number):
    bus, server, tethra_path, port_path, port = connect(port_number)
    paths = ["/Ostra/Tethra", tethra_path, port_path]
    for riid in (DIID_EVENTS, IID_PROPERTY_SINK):
        paths.append(port.FindConnectionPoint(
            riid, dbus_interface="Ostra.Tethra.IConnectionPointContainer")[1])
    for path in paths:
        xml = bus.get_object(server, path, introspect=False).Introspect(
            dbus_interface="org.freedesktop.DBus.Introspectable")
        print("PATH", path)
        print(xml, end="")
        print("END")


def send(file_name, port_number):
    _, _, _, _, port = connect(port_number)
    with open(file_name, "rb") as f:
        data = dbus.ByteArray(f.read(), variant_level=1)
    try:
        hr = port.Send(data, True, dbus_interface=ISERIALPORT, signature="vb", timeout=600)
        print("hr", int(hr))
    except dbus.DBusException as e:
        print("error", e.get_dbus_name(), e.get_dbus_message())


def wrong_types(port_number):
    _, _, _, _, port = connect(port_number)
    own = {}
    xml = port.Introspect(dbus_interface="org.freedesktop.DBus.Introspectable")
    import xml.etree.ElementTree as ET
    for itf in ET.fromstring(xml).iter("interface"):
        if itf.get("name") == ISERIALPORT:
            for prop in itf.iter("property"):
                if prop.get("access") == "readwrite":
                    own[prop.get("name")] = prop.get("type")
    for name, sig in own.items():
        before = port.Get(ISERIALPORT, name, dbus_interface=PROPERTIES)
        faults = []
        for wrong, value in SAMPLES.items():
            if wrong == sig:
                continue
            got = error_name(lambda: port.Set(ISERIALPORT, name, value, dbus_interface=PROPERTIES))
            if got != "org.freedesktop.DBus.Error.InvalidArgs":
                faults.append("Set(%s)=%s" % (wrong, got))
            plain = dbus.Array([7], signature="i") if wrong == "ai" else value
            got = error_name(lambda: port.get_dbus_method("put_" + name, ISERIALPORT)(
                plain, signature=wrong))
            if got != "org.freedesktop.DBus.Error.InvalidArgs":
                faults.append("put_%s(%s)=%s" % (name, wrong, got))
        after = port.Get(ISERIALPORT, name, dbus_interface=PROPERTIES)
        if after != before:
            faults.append("changed %r to %r" % (before, after))
        print(name, sig, " ".join(faults) if faults else "ok")
    print("DONE", len(own))


def send_wrong(port_number):
    _, _, _, _, port = connect(port_number)
    for sig, value in SAMPLES.items():
        if sig != "ay":
            print(sig, error_name(lambda: port.Send(value, True, dbus_interface=ISERIALPORT,
                                                    signature="vb")))
    print("DONE")


def hold():
    bus = dbus.SessionBus()
    server = bus.activate_name_owner("Ostra.Tethra")
    bus.get_object(server, "/Ostra/Tethra", introspect=False).LockServer(
        True, dbus_interface="Ostra.Tethra.IClassFactory")
    print("HELD", flush=True)
    sys.stdin.read()


def main():
    command, args = sys.argv[1], sys.argv[2:]
    if command == "introspect":
        introspect(int(args[0]))
    elif command == "send":
        send(args[0], int(args[1]))
    elif command == "wrong-types":
        wrong_types(int(args[0]))
    elif command == "send-wrong":
        send_wrong(int(args[0]))
    elif command == "hold":
        hold()
    sys.stdout.flush()


if __name__ == "__main__":
    main()
