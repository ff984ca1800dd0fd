// The view's few calls to the operating system's network interface: its listening socket's options
// and the names of this machine for the Host check. ViewNetPosix.cpp implements them; the view is
// built only where cpp-httplib is, which the Windows build is not.
#pragma once

#include <string>

// Lets the listening socket take its port again at once after an earlier run (SO_REUSEADDR), but
// never share it: a port that another program or another view listens on is refused, so the page
// never reaches a view of another run.
void SetViewSocketOptions(int socket);

// Whether `name` (a host name, or an address with an IPv6 one given without its brackets) names
// this machine: localhost, a loopback address (127.0.0.0/8, ::1), an address of one of its
// interfaces, or its host name. Nothing is resolved, so no name is looked up elsewhere.
bool NamesThisMachine(const std::string& name);
