#pragma once
// The BOOTP/DHCP responder: every request that reaches the socket gets the same fixed lease.

#include "dhcppacket.h"

#include <QString>
#include <sys/types.h>

// Hook before the socket is made; nothing needs preparing on this platform.
bool initSocket();
void cleanSocket(int socket);

// Opens the UDP socket on port 67 of the interface. Returns 0 and the descriptor in `socket`, or
// the program's exit code for the step that failed (the socket is then closed).
int setupDhcpSocket(const QString &interface, int &socket);

DhcpPacket parseDhcpPacket(const uint8_t *buffer, ssize_t length);

// Fills `reply` (wire byte order) and returns the number of bytes to send.
int generateBootReply(const DhcpPacket &request, const QString &offeredIp, const QString &bootFile,
                      const QString &serverIp, const QString &serverName, DhcpPacket &reply);

// Receives at most one request (100 ms receive timeout) and broadcasts the reply.
// 0 after a reply, -9 when nothing was received, -11 when sending failed.
int dhcpServerRun(int socket, const QString &offeredIp, const QString &bootFile,
                  const QString &serverIp, const QString &serverName);
