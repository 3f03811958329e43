#pragma once
// The fixed-layout BOOTP/DHCP message and the names of its enumerated values.

#include <QString>
#include <cstddef>
#include <cstdint>

enum class OpType : uint8_t { BOOTREQUEST = 1, BOOTREPLY = 2 };

enum class HardwareType : uint8_t {
    Ethernet = 1,
    Experimental = 2,
    TokenRing = 3,
    ProNET = 4,
    Ethernet_II = 6,
    FDDI = 15,
    ATM = 16,
    PPP = 32
};

enum class DhcpMessageType : uint8_t {
    DHCPDISCOVER = 1,
    DHCPOFFER = 2,
    DHCPREQUEST = 3,
    DHCPDECLINE = 4,
    DHCPACK = 5,
    DHCPNAK = 6,
    DHCPRELEASE = 7,
    DHCPINFORM = 8
};

enum class OptionType : uint8_t {
    PAD = 0,
    SUBNET_MASK = 1,
    TIME_OFFSET = 2,
    ROUTERS = 3,
    TIME_SERVERS = 4,
    NAME_SERVERS = 5,
    HOSTNAME = 12,
    DOMAIN_NAME = 15,
    REQUESTED_IP = 50,
    IP_ADDRESS_LEASE_TIME = 51,
    DHCP_OPTION_OVERLOAD = 52,
    DHCP_MESSAGE_TYPE = 53,
    SERVER_IDENTIFIER = 54,
    PARAMETER_REQUEST_LIST = 55,
    END = 255
};

enum class DhcpFlags : uint16_t { UNICAST = 0, BROADCAST = 0x8000 };

// Wire layout of RFC 951 / RFC 2131. The parsed request holds its numbers in host order; a
// reply built by generateBootReply() holds them in network order, ready to be sent as it is.
struct DhcpPacket {
    uint8_t op;
    uint8_t htype;
    uint8_t hlen;
    uint8_t hops;
    uint32_t xid;
    uint16_t secs;
    uint16_t flags;
    uint32_t ciaddr;
    uint32_t yiaddr;
    uint32_t siaddr;
    uint32_t giaddr;
    uint8_t chaddr[16];
    char sname[64];
    char file[128];
    uint8_t magicCookie[4];
    uint8_t options[216];
};

static_assert(sizeof(DhcpPacket) == 456, "DhcpPacket must match the wire layout");
static_assert(offsetof(DhcpPacket, chaddr) == 28 && offsetof(DhcpPacket, sname) == 44 &&
                  offsetof(DhcpPacket, file) == 108 && offsetof(DhcpPacket, magicCookie) == 236 &&
                  offsetof(DhcpPacket, options) == 240,
              "DhcpPacket fields must sit at their wire offsets");

constexpr int dhcpHeaderSize = offsetof(DhcpPacket, options);
constexpr int dhcpOptionsSize = sizeof(DhcpPacket::options);

// A zeroed record with the magic cookie 99, 130, 83, 99 in place.
DhcpPacket emptyDhcpPacket();

QString optTypeToStr(int value);
QString hardwareTypeToStr(int value);
QString dhcpMessageTypeToStr(int value);
QString optionTypeToStr(int value);
QString dhcpFlagsToStr(int value);

// One diagnostic line naming the opcode, hardware type, flags, message type and options.
QString describeDhcpPacket(const DhcpPacket &packet);
