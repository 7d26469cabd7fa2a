#include "rtc/IceSetup.hpp"

#include <agent.h>
#include <gio/gio.h>
#include <gio/gnetworking.h>

#include "rtc/Glib.hpp"
#include "rtc/Webrtcbin.hpp"

namespace rtc {

namespace {

constexpr int receiveBufferBytes = 4 * 1024 * 1024;

std::string escaped(const std::string& text) {
    return glib::takeString(g_uri_escape_string(text.c_str(), nullptr, FALSE));
}

// The libnice agent under webrtcbin's ICE object; empty when this ICE object has none.
glib::Ref<NiceAgent> agentOf(GstElement* webrtc) {
    GstWebRTCICE* ice = nullptr;
    g_object_get(webrtc, "ice-agent", &ice, nullptr);
    auto iceRef = glib::Ref<GstWebRTCICE>::adopt(ice);
    NiceAgent* agent = nullptr;
    if (ice && g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "agent")) {
        g_object_get(ice, "agent", &agent, nullptr);
    }
    return glib::Ref<NiceAgent>::adopt(agent);
}

// Raises the receive buffer of a socket; SO_RCVBUFFORCE passes the system limit when allowed.
void raiseReceiveBuffer(GSocket* socket) {
    g_socket_set_option(socket, SOL_SOCKET, SO_RCVBUF, receiveBufferBytes, nullptr);
    gint granted = 0;
    g_socket_get_option(socket, SOL_SOCKET, SO_RCVBUF, &granted, nullptr);
#ifdef SO_RCVBUFFORCE
    if (granted < receiveBufferBytes) {
        g_socket_set_option(socket, SOL_SOCKET, SO_RCVBUFFORCE, receiveBufferBytes, nullptr);
    }
#endif
}

}  // namespace

void configureIceServers(GstElement* webrtc, const std::vector<IceServer>& servers) {
    bool stunSet = false;
    for (const auto& server : servers) {
        // An IPv6 host keeps its brackets, or its colons would read as the port's.
        const std::string host = server.hostname.find(':') == std::string::npos
                                     ? server.hostname
                                     : "[" + server.hostname + "]";
        std::string port = std::to_string(server.port);
        if (server.type == IceServer::Type::Stun) {
            if (!stunSet) {
                std::string uri = "stun://" + host + ":" + port;
                g_object_set(webrtc, "stun-server", uri.c_str(), nullptr);
                stunSet = true;
            }
            continue;
        }
        std::string scheme =
            server.relayType == IceServer::RelayType::TurnTls ? "turns://" : "turn://";
        std::string uri = scheme + escaped(server.username) + ":" + escaped(server.password) + "@" +
                          host + ":" + port;
        if (server.relayType == IceServer::RelayType::TurnTcp) {
            uri += "?transport=tcp";
        }
        gboolean added = FALSE;
        g_signal_emit_by_name(webrtc, "add-turn-server", uri.c_str(), &added);
    }
}

bool gatherOnlyOn(GstElement* webrtc, const std::string& address) {
    auto agent = agentOf(webrtc);
    NiceAddress local;
    nice_address_init(&local);
    if (!agent || !nice_address_set_from_string(&local, address.c_str())) {
        return false;
    }
    nice_agent_add_local_address(agent.get(), &local);
    return true;
}

bool raiseReceiveBuffers(GstElement* webrtc) {
    auto agent = agentOf(webrtc);
    if (!agent) {
        return false;
    }
    bool raised = false;
    // Bundled media use one stream; look at a few in case the remote peer did not bundle.
    for (guint stream = 1; stream <= 8; ++stream) {
        for (guint component = 1; component <= 2; ++component) {
            auto socket = glib::Ref<GSocket>::adopt(
                nice_agent_get_selected_socket(agent.get(), stream, component));
            if (socket) {
                raiseReceiveBuffer(socket.get());
                raised = true;
            }
        }
    }
    return raised;
}

}  // namespace rtc
