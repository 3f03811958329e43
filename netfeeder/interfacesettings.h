#pragma once
// Puts the interface towards the board into a fixed state (speed, duplex, no auto-negotiation,
// the server address on a /24) and undoes it, through `ip` and `ethtool` run by pkexec.

#include <QString>

bool setInterfaceSettings(const QString &interface, const QString &serverIp, const QString &speed,
                          const QString &duplex);
bool changeSpeedTo1000MBit(const QString &interface);
void revertInterfaceSettings(const QString &interface, const QString &serverIp);
