#include "portmap/igd_description.h"

#include <gtest/gtest.h>

namespace zl {
namespace {

const char* kDescription = R"(<?xml version="1.0"?>
<root xmlns="urn:schemas-upnp-org:device-1-0">
<specVersion><major>1</major><minor>0</minor></specVersion>
<device>
<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>
<friendlyName>Home router</friendlyName>
<manufacturer>Maker</manufacturer>
<manufacturerURL>http://maker.invalid/</manufacturerURL>
<modelDescription>A router</modelDescription>
<modelName>R1</modelName>
<modelNumber>2.3</modelNumber>
<modelURL>http://maker.invalid/r1</modelURL>
<serialNumber>SN9</serialNumber>
<UDN>uuid:abc</UDN>
<UPC>000000000000</UPC>
<iconList>
<icon><mimetype>image/png</mimetype><width>32</width><height>32</height><depth>8</depth><url>/a.png</url></icon>
<icon><mimetype>image/gif</mimetype><width>32</width><height>32</height><depth>8</depth><url>/a.gif</url></icon>
</iconList>
<serviceList><service><serviceType>urn:schemas-upnp-org:service:Layer3Forwarding:1</serviceType></service></serviceList>
<deviceList>
<device><deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType><friendlyName>WAN</friendlyName></device>
</deviceList>
<presentationURL>/</presentationURL>
</device>
</root>)";

TEST(IgdDescription, NineteenPropertiesOfARootGateway) {
    auto info = ParseIgdDescription(kDescription, "http://10.77.0.1:5000/rootDesc.xml");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->children, "Yes: One child");
    EXPECT_EQ(info->description, "A router");
    EXPECT_EQ(info->friendly_name, "Home router");
    EXPECT_EQ(info->has_children, "Yes");
    EXPECT_EQ(info->icon_url, "http://10.77.0.1:5000/a.gif");
    EXPECT_EQ(info->is_root_device, "Yes");
    EXPECT_EQ(info->manufacturer_name, "Maker");
    EXPECT_EQ(info->manufacturer_url, "http://maker.invalid/");
    EXPECT_EQ(info->model_name, "R1");
    EXPECT_EQ(info->model_number, "2.3");
    EXPECT_EQ(info->model_url, "http://maker.invalid/r1");
    EXPECT_EQ(info->parent_device, "This is a topmost device");
    EXPECT_EQ(info->presentation_url, "http://10.77.0.1:5000/");
    EXPECT_EQ(info->root_device, "This is a topmost device");
    EXPECT_EQ(info->serial_number, "SN9");
    EXPECT_EQ(info->services, "Yes: One service");
    EXPECT_EQ(info->type, "urn:schemas-upnp-org:device:InternetGatewayDevice:1");
    EXPECT_EQ(info->unique_device_name, "uuid:abc");
    EXPECT_EQ(info->upc, "000000000000");
}

TEST(IgdDescription, NestedGatewayAndBadTexts) {
    const char* nested = R"(<root><URLBase>http://127.0.5.1:80/base/</URLBase><device>
        <deviceType>urn:example:device:Box:1</deviceType><friendlyName>Box</friendlyName>
        <deviceList><device><deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>
        <friendlyName>Inner</friendlyName><presentationURL>ui.html</presentationURL>
        <deviceList><device/><device/></deviceList></device></deviceList></device></root>)";
    auto info = ParseIgdDescription(nested, "");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->is_root_device, "No");
    EXPECT_EQ(info->parent_device, "Box");
    EXPECT_EQ(info->root_device, "Box");
    EXPECT_EQ(info->children, "Yes: 2 children");
    EXPECT_EQ(info->services, "No: Zero services");
    EXPECT_EQ(info->presentation_url, "http://127.0.5.1:80/base/ui.html");
    EXPECT_EQ(info->model_name, "");

    EXPECT_FALSE(ParseIgdDescription("", ""));
    EXPECT_FALSE(ParseIgdDescription("<root><device><deviceType>x</deviceType></device></root>", ""));
    EXPECT_FALSE(ParseIgdDescription("<html>not a description</html>", ""));
    EXPECT_FALSE(ParseIgdDescription("<root><device>", ""));
}

TEST(IgdDescription, TheWanConnectionServiceTakesTheMappings) {
    // The gateway's own services come first, then those of the devices inside it.
    const std::string wan = R"(<root><device>
        <deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:2</deviceType>
        <serviceList><service><serviceType>urn:schemas-upnp-org:service:Layer3Forwarding:1</serviceType>
        <controlURL>/l3f</controlURL></service></serviceList>
        <deviceList><device><deviceType>urn:schemas-upnp-org:device:WANDevice:2</deviceType>
        <serviceList><service><serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType>
        <controlURL>/cif</controlURL></service></serviceList>
        <deviceList><device><deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:2</deviceType>
        <serviceList>
        <service><serviceType>urn:schemas-upnp-org:service:WANIPConnection:2</serviceType>
        <controlURL>/ctl/IPConn</controlURL></service>
        <service><serviceType>urn:schemas-upnp-org:service:WANPPPConnection:1</serviceType>
        <controlURL>/ctl/PPPConn</controlURL></service>
        </serviceList></device></deviceList></device></deviceList></device></root>)";
    auto service = ParseWanConnectionService(wan, "http://10.77.0.1:5000/rootDesc.xml");
    ASSERT_TRUE(service);
    EXPECT_EQ(service->service_type, "urn:schemas-upnp-org:service:WANIPConnection:2");
    EXPECT_EQ(service->control_url, "http://10.77.0.1:5000/ctl/IPConn");

    // A PPP connection serves as well; URLBase and absolute control URLs are kept as the
    // description says (the mapper checks their host).
    std::string ppp = wan;
    ppp.erase(ppp.find("<service><serviceType>urn:schemas-upnp-org:service:WANIPConnection:2"),
              ppp.find("<service><serviceType>urn:schemas-upnp-org:service:WANPPPConnection:1") -
                  ppp.find("<service><serviceType>urn:schemas-upnp-org:service:WANIPConnection:2"));
    ppp.replace(ppp.find("<root>"), 6, "<root><URLBase>http://10.9.9.9/</URLBase>");
    service = ParseWanConnectionService(ppp, "http://10.77.0.1:5000/rootDesc.xml");
    ASSERT_TRUE(service);
    EXPECT_EQ(service->service_type, "urn:schemas-upnp-org:service:WANPPPConnection:1");
    EXPECT_EQ(service->control_url, "http://10.9.9.9/ctl/PPPConn");

    // No gateway, no WAN connection service, or one without a control URL: nothing to ask.
    EXPECT_FALSE(ParseWanConnectionService(kDescription, "http://10.77.0.1:5000/rootDesc.xml"));
    std::string no_control = wan;
    no_control.replace(no_control.find("<controlURL>/ctl/IPConn</controlURL>"), 36, "");
    service = ParseWanConnectionService(no_control, "http://10.77.0.1:5000/rootDesc.xml");
    EXPECT_FALSE(service && service->service_type.find("WANIPConnection") != std::string::npos);
    EXPECT_FALSE(ParseWanConnectionService("<root><device>", ""));
}

}  // namespace
}  // namespace zl
