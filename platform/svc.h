// The service manager that started kestrel as a service (systemd, Type=notify): readiness and
// the watchdog. Nothing is sent without one (no NOTIFY_SOCKET), and nothing on Windows.
#pragma once

// READY=1: the watching has begun.
void svc_ready();
// WATCHDOG=1 when the service has a watchdog, at most once a second: the watcher is alive.
void svc_alive();
