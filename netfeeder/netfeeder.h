#pragma once
// The server's main work: configure the interface, answer BOOTP/DHCP and TFTP requests from one
// loop while the control channel runs beside it, and restore the interface on the way out.

#include <QString>

class TFTP;

// Makes SIGTERM and SIGINT end the main loop in order (interface restored) instead of at once.
void installTerminationHandlers();

int doWork(const QString &interface, const QString &speed, const QString &duplex,
           const QString &serverIp, const QString &offeredIp, const QString &bootFile,
           const QString &serverName, TFTP &server);
