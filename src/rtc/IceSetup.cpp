#include "rtc/IceSetup.hpp"

#include <agent.h>
#include <gio/gio.h>
#include <gio/gnetworking.h>
#include <interfaces.h>

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

IcePlan planIceServers(const std::vector<IceServer>& servers) {
    IcePlan plan;
    for (const auto& server : servers) {
        // An IPv6 host keeps its brackets, or its colons would read as the port's.
        const std::string host = server.hostname.find(':') == std::string::npos
                                     ? server.hostname
                                     : "[" + server.hostname + "]";
        const std::string address = host + ":" + std::to_string(server.port);
        const bool turn = server.type == IceServer::Type::Turn;
        const std::string query =
            turn && server.relayType == IceServer::RelayType::TurnTcp ? "?transport=tcp" : "";
        // Named without its credentials, which never go to the log.
        const std::string named =
            std::string(turn ? "turn" : "stun") + (server.secure ? "s:" : ":") + address + query;
        auto unused = [&](const char* reason) {
            plan.unused.push_back("ice_server_unused=" + named + ": " + reason);
        };
        if (!turn && server.secure) {
            unused("the engine has no STUN over TLS");
        } else if (!turn && plan.stun) {
            unused("the engine takes one STUN server");
        } else if (!turn) {
            plan.stun = "stun://" + address;
        } else if (server.username.empty() || server.password.empty()) {
            unused("a TURN server needs a username and a credential");
        } else {
            plan.turn.push_back((server.secure ? "turns://" : "turn://") +
                                escaped(server.username) + ":" + escaped(server.password) + "@" +
                                address + query);
        }
    }
    return plan;
}

std::vector<std::string> configureIceServers(GstElement* webrtc,
                                             const std::vector<IceServer>& servers) {
    IcePlan plan = planIceServers(servers);
    if (plan.stun) {
        g_object_set(webrtc, "stun-server", plan.stun->c_str(), nullptr);
    }
    for (const auto& uri : plan.turn) {
        gboolean added = FALSE;
        g_signal_emit_by_name(webrtc, "add-turn-server", uri.c_str(), &added);
        if (!added) {
            const auto at = uri.rfind('@');
            plan.unused.push_back("ice_server_unused=" + uri.substr(0, uri.find(':')) + ":" +
                                  uri.substr(at + 1) + ": the engine refused it");
        }
    }
    return plan.unused;
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

bool gatherAlsoOn(GstElement* webrtc, const std::string& address) {
    auto agent = agentOf(webrtc);
    NiceAddress extra;
    nice_address_init(&extra);
    if (!agent || !nice_address_set_from_string(&extra, address.c_str())) {
        return false;
    }
    // Once given any address the agent gathers on those alone, so the interfaces it would
    // have found by itself are given first.
    GList* found = nice_interfaces_get_local_ips(FALSE);
    for (GList* item = found; item; item = item->next) {
        NiceAddress local;
        nice_address_init(&local);
        if (nice_address_set_from_string(&local, static_cast<const char*>(item->data))) {
            nice_agent_add_local_address(agent.get(), &local);
        }
    }
    g_list_free_full(found, g_free);
    nice_agent_add_local_address(agent.get(), &extra);
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
