// The bus API document (docs/bus-api.md), generated from the tables the server's stubs
// and its introspection replies come from (wire.h, the type library), so the document
// cannot drift from what the server does.
//
// The prose lives in a template (docs/bus-api.md.in). A line that holds nothing but a
// name between '@' signs ("@OBJECTS@") is replaced by the generated section of that
// name; every other line is copied as it is:
//   @OBJECTS@        every path pattern with its interfaces
//   @IDENTIFIERS@    the IIDs and CLSIDs a client passes as strings
//   @TYPES@          how parameter types travel (the VARTYPE to bus type mapping)
//   @VARIANTS@       what Send's variant becomes on the server, per bus type
//   @ERRORS@         the HRESULTs with an error name of their own
//   @BUS_ERRORS@     the bus's own errors as the C++ client library reads them
//   @INTERFACES@     every interface the server serves: methods, arguments, signals
//   @PROPERTIES@     the properties of the port object
//   @SINKS@          the interfaces a client exports as a sink
//   @ENUMS@          the enumerations' values
//   @INTROSPECTION@  the introspection document of each kind of object, as Introspect
//                    returns it
// The introspection documents stand in fenced blocks whose info string is
// "xml introspect <path pattern>", so a test can find each one again.
#pragma once

#include <QString>

namespace platform::rpc {

// The document from its template. false, with *error saying which line, for a
// placeholder that names no section.
bool render_bus_doc(const QString& template_text, QString* document, QString* error);

}  // namespace platform::rpc
