/*
 * Stand-in for the TAP-Windows driver's header, which openvpn's configure requires and Debian
 * does not ship. The openvpn.exe we build only ever runs with "--dev null", which never opens
 * the driver, so this gives just the names tun.c compiles against; the values follow the usual
 * Windows conventions but no driver is ever asked to understand them.
 */
#ifndef TAP_WINDOWS_H
#define TAP_WINDOWS_H

#include <windows.h>
#include <winioctl.h>

#define TAP_WIN_CONTROL_CODE(request) \
    CTL_CODE(FILE_DEVICE_UNKNOWN, request, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define TAP_WIN_IOCTL_GET_VERSION             TAP_WIN_CONTROL_CODE(1)
#define TAP_WIN_IOCTL_GET_MTU                 TAP_WIN_CONTROL_CODE(2)
#define TAP_WIN_IOCTL_GET_INFO                TAP_WIN_CONTROL_CODE(3)
#define TAP_WIN_IOCTL_CONFIG_POINT_TO_POINT   TAP_WIN_CONTROL_CODE(4)
#define TAP_WIN_IOCTL_SET_MEDIA_STATUS        TAP_WIN_CONTROL_CODE(5)
#define TAP_WIN_IOCTL_CONFIG_DHCP_MASQ        TAP_WIN_CONTROL_CODE(6)
#define TAP_WIN_IOCTL_GET_LOG_LINE            TAP_WIN_CONTROL_CODE(7)
#define TAP_WIN_IOCTL_CONFIG_DHCP_SET_OPT     TAP_WIN_CONTROL_CODE(8)
#define TAP_WIN_IOCTL_CONFIG_TUN              TAP_WIN_CONTROL_CODE(9)

/* Registry locations of the network adapter class and of its connections. */
#define ADAPTER_KEY \
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}"
#define NETWORK_CONNECTIONS_KEY \
    "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}"

/* An adapter's device is opened as USERMODEDEVICEDIR "{guid}" TAP_WIN_SUFFIX. */
#define USERMODEDEVICEDIR "\\\\.\\Global\\"
#define TAP_WIN_SUFFIX    ".tap"

#endif
