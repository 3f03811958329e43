#include "dhcppacket.h"

#include <QStringList>
#include <cstring>
#include <map>

namespace
{

QString nameOf(const std::map<int, const char *> &names, int value, const char *invalid)
{
    const auto it = names.find(value);
    return QString::fromLatin1(it == names.end() ? invalid : it->second);
}

// The message type is the value of option 53, wherever it sits among the options.
int messageTypeOf(const DhcpPacket &packet)
{
    int i = 0;
    while (i < dhcpOptionsSize) {
        const int code = packet.options[i];
        if (code == int(OptionType::END))
            break;
        if (code == int(OptionType::PAD)) {
            ++i;
            continue;
        }
        if (i + 2 >= dhcpOptionsSize)
            break;
        if (code == int(OptionType::DHCP_MESSAGE_TYPE))
            return packet.options[i + 2];
        i += 2 + packet.options[i + 1];
    }
    return -1;
}

QStringList optionNamesOf(const DhcpPacket &packet)
{
    QStringList names;
    int i = 0;
    while (i < dhcpOptionsSize) {
        const int code = packet.options[i];
        names << optionTypeToStr(code);
        if (code == int(OptionType::END))
            break;
        if (code == int(OptionType::PAD) || i + 1 >= dhcpOptionsSize) {
            ++i;
            continue;
        }
        i += 2 + packet.options[i + 1];
    }
    return names;
}

} // namespace

DhcpPacket emptyDhcpPacket()
{
    DhcpPacket packet;
    std::memset(&packet, 0, sizeof packet);
    const uint8_t cookie[4] = {99, 130, 83, 99};
    std::memcpy(packet.magicCookie, cookie, sizeof cookie);
    return packet;
}

QString optTypeToStr(int value)
{
    static const std::map<int, const char *> names = {{1, "OpType::BOOTREQUEST"},
                                                      {2, "OpType::BOOTREPLY"}};
    return nameOf(names, value, "Invalid Optype");
}

QString hardwareTypeToStr(int value)
{
    static const std::map<int, const char *> names = {
        {1, "HardwareType::Ethernet"},    {2, "HardwareType::Experimental"},
        {3, "HardwareType::TokenRing"},   {4, "HardwareType::ProNET"},
        {6, "HardwareType::Ethernet_II"}, {15, "HardwareType::FDDI"},
        {16, "HardwareType::ATM"},        {32, "HardwareType::PPP"}};
    return nameOf(names, value, "Invalid HardwareType");
}

QString dhcpMessageTypeToStr(int value)
{
    static const std::map<int, const char *> names = {
        {1, "DhcpMessageType::DHCPDISCOVER"}, {2, "DhcpMessageType::DHCPOFFER"},
        {3, "DhcpMessageType::DHCPREQUEST"},  {4, "DhcpMessageType::DHCPDECLINE"},
        {5, "DhcpMessageType::DHCPACK"},      {6, "DhcpMessageType::DHCPNAK"},
        {7, "DhcpMessageType::DHCPRELEASE"},  {8, "DhcpMessageType::DHCPINFORM"}};
    return nameOf(names, value, "Invalid DhcpMessageType");
}

QString optionTypeToStr(int value)
{
    static const std::map<int, const char *> names = {{0, "OptionType::PAD"},
                                                      {1, "OptionType::SUBNET_MASK"},
                                                      {2, "OptionType::TIME_OFFSET"},
                                                      {3, "OptionType::ROUTERS"},
                                                      {4, "OptionType::TIME_SERVERS"},
                                                      {5, "OptionType::NAME_SERVERS"},
                                                      {12, "OptionType::HOSTNAME"},
                                                      {15, "OptionType::DOMAIN_NAME"},
                                                      {50, "OptionType::REQUESTED_IP"},
                                                      {51, "OptionType::IP_ADDRESS_LEASE_TIME"},
                                                      {52, "OptionType::DHCP_OPTION_OVERLOAD"},
                                                      {53, "OptionType::DHCP_MESSAGE_TYPE"},
                                                      {54, "OptionType::SERVER_IDENTIFIER"},
                                                      {55, "OptionType::PARAMETER_REQUEST_LIST"},
                                                      {255, "OptionType::END"}};
    return nameOf(names, value, "Invalid OptionType");
}

QString dhcpFlagsToStr(int value)
{
    static const std::map<int, const char *> names = {{0, "DhcpFlags::UNICAST"},
                                                      {0x8000, "DhcpFlags::BROADCAST"}};
    return nameOf(names, value, "Invalid DhcpFlags");
}

QString describeDhcpPacket(const DhcpPacket &packet)
{
    return QStringList{optTypeToStr(packet.op), hardwareTypeToStr(packet.htype),
                       dhcpFlagsToStr(packet.flags), dhcpMessageTypeToStr(messageTypeOf(packet)),
                       optionNamesOf(packet).join(',')}
        .join(' ');
}
