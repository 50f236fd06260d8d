// DNS-SD through avahi-daemon (libavahi-client over D-Bus), on Avahi's own thread: its threaded poll sleeps until
// the daemon says something, so the announcement costs nothing while nothing changes. Every callback below runs
// on that thread (or in the constructor, before the thread starts), so the state needs no lock.
#include "DnsSdAnnounce.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

namespace tarvo::scpi {

struct DnsSdAnnouncement::State {
    std::string name;
    std::vector<DnsSdService> services;
    std::function<void(const std::string&)> log;
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;  // made on `client` and freed with it

    void Log(const std::string& line) const {
        if (log) {
            log("DNS-SD: " + line);
        }
    }
    bool Connect();
    void Publish(AvahiClient* on);
    void TakeAlternativeName();
};

namespace {

std::string ErrorText(AvahiClient* client) { return avahi_strerror(avahi_client_errno(client)); }

void OnGroup(AvahiEntryGroup* group, AvahiEntryGroupState state, void* data) {
    auto& s = *static_cast<DnsSdAnnouncement::State*>(data);
    switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
        for (const DnsSdService& service : s.services)
            s.Log("announced \"" + s.name + "\" as " + service.type + " on port " + std::to_string(service.port));
        break;
    case AVAHI_ENTRY_GROUP_COLLISION:  // another host on the network has the name
        s.TakeAlternativeName();
        s.Publish(avahi_entry_group_get_client(group));
        break;
    case AVAHI_ENTRY_GROUP_FAILURE:
        s.Log("announcing failed: " + ErrorText(avahi_entry_group_get_client(group)));
        break;
    default:
        break;
    }
}

void OnClient(AvahiClient* client, AvahiClientState state, void* data) {
    auto& s = *static_cast<DnsSdAnnouncement::State*>(data);
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:  // the daemon runs and has its host name: announce (again)
        s.Publish(client);
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:  // the host name is changing: withdraw until it runs again
        if (s.group) {
            avahi_entry_group_reset(s.group);
        }
        break;
    case AVAHI_CLIENT_CONNECTING:
        s.Log("avahi-daemon is not running; announcing once it starts");
        break;
    case AVAHI_CLIENT_FAILURE:
        if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED) {  // the daemon stopped: wait for the next one
            s.Log("avahi-daemon went away; announcing again once it is back");
            avahi_client_free(client);
            s.client = nullptr;
            s.group = nullptr;
            s.Connect();
        } else {
            s.Log("Avahi failed: " + ErrorText(client));
        }
        break;
    }
}

}  // namespace

bool DnsSdAnnouncement::State::Connect() {
    int error = 0;
    client = avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL, OnClient, this, &error);
    if (!client) {
        Log(std::string("not announced: no connection to Avahi: ") + avahi_strerror(error));
    }
    return client != nullptr;
}

void DnsSdAnnouncement::State::Publish(AvahiClient* on) {
    if (!group) {
        group = avahi_entry_group_new(on, OnGroup, this);
        if (!group) {
            Log("not announced: " + ErrorText(on));
            return;
        }
    }
    avahi_entry_group_reset(group);
    // A name this host already announces for another service is taken at once: try the alternatives, a few.
    // Every service goes under the one name, so a collision on any of them renames all.
    int result = AVAHI_ERR_COLLISION;
    for (int attempt = 0; attempt < 20 && result == AVAHI_ERR_COLLISION; ++attempt) {
        result = 0;
        for (const DnsSdService& service : services) {
            AvahiStringList* txt = nullptr;
            for (auto entry = service.txt.rbegin(); entry != service.txt.rend(); ++entry)
                txt = avahi_string_list_add(txt, entry->c_str());  // prepends: added last to first
            result = avahi_entry_group_add_service_strlst(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                          AvahiPublishFlags(0), name.c_str(), service.type.c_str(),
                                                          nullptr, nullptr, service.port, txt);
            avahi_string_list_free(txt);
            if (result < 0) break;
        }
        if (result == AVAHI_ERR_COLLISION) {
            avahi_entry_group_reset(group);
            TakeAlternativeName();
        }
    }
    if (result >= 0) {
        result = avahi_entry_group_commit(group);
    }
    if (result < 0) {
        Log("not announced: " + std::string(avahi_strerror(result)));
    }
}

void DnsSdAnnouncement::State::TakeAlternativeName() {
    char* alternative = avahi_alternative_service_name(name.c_str());
    if (alternative) {
        Log("the name \"" + name + "\" is taken; now \"" + alternative + "\"");
        name = alternative;
        avahi_free(alternative);
    }
}

DnsSdAnnouncement::DnsSdAnnouncement(std::string name, std::vector<DnsSdService> services,
                                     std::function<void(const std::string&)> log)
    : state_(std::make_unique<State>()) {
    state_->name = std::move(name);
    state_->services = std::move(services);
    state_->log = std::move(log);
    state_->poll = avahi_threaded_poll_new();
    if (!state_->poll) {
        state_->Log("not announced: Avahi's poll cannot be made");
        return;
    }
    bool started = state_->Connect();
    if (started && avahi_threaded_poll_start(state_->poll) < 0) {
        state_->Log("not announced: Avahi's thread cannot start");
        avahi_client_free(state_->client);
        started = false;
    }
    if (!started) {
        avahi_threaded_poll_free(state_->poll);
        state_->poll = nullptr;
    }
}

DnsSdAnnouncement::~DnsSdAnnouncement() {
    if (!state_->poll) {
        return;
    }
    avahi_threaded_poll_stop(state_->poll);
    if (state_->client) {
        avahi_client_free(state_->client);  // withdraws the announcement
    }
    avahi_threaded_poll_free(state_->poll);
}

}  // namespace tarvo::scpi
