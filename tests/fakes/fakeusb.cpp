// A libusb-1.0 double: the entry points the service resolves, over a simulated bus that tests control.
#define FAKEUSB_LIBRARY
#include "fakeusb.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Packet
{
    int status = LIBUSB_SUCCESS;
    std::vector<uint8_t> bytes;
};

struct Callback
{
    int handle;
    int events;
    int vendorId;
    int productId;
    int deviceClass;
    libusb_hotplug_callback_fn function;
    void *userData;
};

struct Event
{
    libusb_device *device;
    libusb_hotplug_event event;
};

}

struct libusb_device
{
    int id = 0;
    uint8_t bus = 0;
    std::vector<uint8_t> ports;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    bool attached = true;
    // Handles opened before an unplug stay dead after the device comes back.
    int generation = 0;
    int goneStatus = LIBUSB_ERROR_NO_DEVICE;
    int openResult = LIBUSB_SUCCESS;
    int detachResult = LIBUSB_SUCCESS;
    int portsResult = LIBUSB_SUCCESS;
    std::map<int, int> claimResult;
    std::map<int, int> kernelDriver;
    std::map<int, std::deque<Packet>> in;
    std::map<int, std::vector<uint8_t>> out;
};

struct libusb_device_handle
{
    libusb_device *device;
    int generation;
};

struct libusb_context
{
    std::vector<Callback> callbacks;
    std::deque<Event> pending;
    bool wake = false;
};

namespace {

using Clock = std::chrono::steady_clock;

struct State
{
    std::mutex mutex;
    std::condition_variable changed;
    // Devices are never freed: the code under test may still hold pointers to unplugged ones.
    std::vector<libusb_device *> devices;
    std::vector<libusb_context *> contexts;
    std::vector<std::string> log;
    int nextDeviceId = 1;
    int nextCallbackHandle = 1;
    int handles = 0;
    int lists = 0;
    int waiters = 0;
    int eventWaitMs = 1000;
};

// Never destroyed: threads of the code under test may outlive static destruction.
State &state()
{
    static State *s = new State;
    return *s;
}

std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *pattern, ...)
{
    char text[256];
    va_list args;
    va_start(args, pattern);
    vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

void record(const std::string &entry)
{
    state().log.push_back(entry);
}

bool alive(const libusb_device_handle *handle)
{
    return handle && handle->device->attached && handle->generation == handle->device->generation;
}

bool matches(const Callback &callback, const libusb_device *device, int event)
{
    return (callback.events & event) && (callback.vendorId == LIBUSB_HOTPLUG_MATCH_ANY || callback.vendorId == device->vendorId)
           && (callback.productId == LIBUSB_HOTPLUG_MATCH_ANY || callback.productId == device->productId)
           && (callback.deviceClass == LIBUSB_HOTPLUG_MATCH_ANY || callback.deviceClass == 0);
}

void post(libusb_device *device, libusb_hotplug_event event)
{
    for (libusb_context *context : state().contexts) {
        if (!context->callbacks.empty())
            context->pending.push_back({device, event});
    }
    state().changed.notify_all();
}

bool registered(const libusb_context *context, int handle)
{
    return std::any_of(context->callbacks.begin(), context->callbacks.end(),
                       [handle](const Callback &c) { return c.handle == handle; });
}

void removeCallback(libusb_context *context, int handle)
{
    auto &callbacks = context->callbacks;
    callbacks.erase(std::remove_if(callbacks.begin(), callbacks.end(),
                                   [handle](const Callback &c) { return c.handle == handle; }),
                    callbacks.end());
}

// Waits until the predicate holds; a time-out of 0 waits for ever, as libusb does.
template<typename Predicate>
bool waitFor(std::unique_lock<std::mutex> &lock, unsigned int timeoutMs, Predicate predicate)
{
    if (timeoutMs == 0) {
        state().changed.wait(lock, predicate);
        return true;
    }
    return state().changed.wait_until(lock, Clock::now() + std::chrono::milliseconds(timeoutMs), predicate);
}

// ---- the command language ----

libusb_device *findDevice(int id)
{
    for (libusb_device *device : state().devices) {
        if (device->id == id)
            return device;
    }
    return nullptr;
}

bool parsePorts(const std::string &text, std::vector<uint8_t> &ports)
{
    ports.clear();
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, '.')) {
        char *end = nullptr;
        const long number = std::strtol(part.c_str(), &end, 10);
        if (part.empty() || *end || number < 0 || number > 255)
            return false;
        ports.push_back(uint8_t(number));
    }
    return ports.size() <= 7;
}

bool parseHex(const std::string &text, std::vector<uint8_t> &bytes)
{
    if (text.size() % 2)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        char *end = nullptr;
        const std::string pair = text.substr(i, 2);
        const long value = std::strtol(pair.c_str(), &end, 16);
        if (*end)
            return false;
        bytes.push_back(uint8_t(value));
    }
    return true;
}

std::string toHex(const std::vector<uint8_t> &bytes)
{
    std::string text;
    for (uint8_t byte : bytes)
        text += format("%02x", byte);
    return text;
}

std::string join(const std::vector<std::string> &entries)
{
    std::string text;
    for (const std::string &entry : entries)
        text += entry + ";";
    return text;
}

// Runs one command under the lock; returns false with the reason in reply on a bad command.
bool execute(const std::string &line, std::string &reply)
{
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);

    auto device = [&](libusb_device *&found) {
        int id = 0;
        if (!(words >> id) || !(found = findDevice(id))) {
            reply = "no such device";
            return false;
        }
        return true;
    };
    auto endpoint = [&](int &address) {
        std::string text;
        words >> text;
        char *end = nullptr;
        address = int(std::strtol(text.c_str(), &end, 16));
        if (text.empty() || *end) {
            reply = "bad endpoint";
            return false;
        }
        return true;
    };
    libusb_device *dev = nullptr;
    int ep = 0;

    if (verb == "reset") {
        for (libusb_device *d : s.devices)
            d->attached = false;
        s.devices.clear();
        s.log.clear();
        s.changed.notify_all();
        return true;
    }
    if (verb == "add") {
        int bus = 0;
        std::string ports, vendor = "c7e4", product = "c";
        if (!(words >> bus >> ports) || bus < 0 || bus > 255) {
            reply = "usage: add <bus> <ports> [vendor] [product]";
            return false;
        }
        words >> vendor >> product;
        auto *d = new libusb_device;
        if (!parsePorts(ports, d->ports)) {
            delete d;
            reply = "bad port path";
            return false;
        }
        d->id = s.nextDeviceId++;
        d->bus = uint8_t(bus);
        d->vendorId = uint16_t(std::strtoul(vendor.c_str(), nullptr, 16));
        d->productId = uint16_t(std::strtoul(product.c_str(), nullptr, 16));
        s.devices.push_back(d);
        post(d, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
        reply = std::to_string(d->id);
        return true;
    }
    if (verb == "unplug") {
        if (!device(dev))
            return false;
        int status = LIBUSB_ERROR_NO_DEVICE;
        words >> status;
        dev->attached = false;
        dev->goneStatus = status;
        post(dev, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
        return true;
    }
    if (verb == "plug") {
        if (!device(dev))
            return false;
        dev->attached = true;
        ++dev->generation;
        dev->in.clear();
        dev->out.clear();
        post(dev, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
        return true;
    }
    if (verb == "feed" || verb == "status") {
        if (!device(dev) || !endpoint(ep))
            return false;
        Packet packet;
        std::string value;
        words >> value;
        char *end = nullptr;
        if (verb == "status")
            packet.status = int(std::strtol(value.c_str(), &end, 10));
        if (verb == "feed" ? !parseHex(value, packet.bytes) || packet.bytes.empty() : value.empty() || *end) {
            reply = verb == "feed" ? "bad hex bytes" : "bad status";
            return false;
        }
        dev->in[ep].push_back(packet);
        s.changed.notify_all();
        return true;
    }
    if (verb == "take") {
        if (!device(dev) || !endpoint(ep))
            return false;
        reply = toHex(dev->out[ep]);
        dev->out[ep].clear();
        return true;
    }
    if (verb == "set") {
        std::string key;
        int value = 0;
        if (!device(dev) || !(words >> key >> value)) {
            reply = reply.empty() ? "usage: set <id> <key> <value>" : reply;
            return false;
        }
        if (key == "open")
            dev->openResult = value;
        else if (key == "detach")
            dev->detachResult = value;
        else if (key == "ports")
            dev->portsResult = value;
        else if (key.rfind("claim", 0) == 0 && key.size() > 5)
            dev->claimResult[std::atoi(key.c_str() + 5)] = value;
        else if (key.rfind("kernel", 0) == 0 && key.size() > 6)
            dev->kernelDriver[std::atoi(key.c_str() + 6)] = value;
        else {
            reply = "unknown key " + key;
            return false;
        }
        return true;
    }
    if (verb == "list") {
        std::vector<std::string> entries;
        for (const libusb_device *d : s.devices) {
            std::string ports;
            for (uint8_t port : d->ports)
                ports += (ports.empty() ? "" : ".") + std::to_string(port);
            entries.push_back(format("%d %d-%s %04x:%04x %s", d->id, d->bus, ports.c_str(), d->vendorId, d->productId,
                                     d->attached ? "attached" : "unplugged"));
        }
        reply = join(entries);
        return true;
    }
    if (verb == "log") {
        reply = join(s.log);
        return true;
    }
    if (verb == "clearlog") {
        s.log.clear();
        return true;
    }
    if (verb == "count") {
        std::string what;
        words >> what;
        int number = 0;
        if (what == "contexts")
            number = int(s.contexts.size());
        else if (what == "handles")
            number = s.handles;
        else if (what == "lists")
            number = s.lists;
        else if (what == "waiters")
            number = s.waiters;
        else if (what == "callbacks")
            for (const libusb_context *c : s.contexts)
                number += int(c->callbacks.size());
        else {
            reply = "unknown count " + what;
            return false;
        }
        reply = std::to_string(number);
        return true;
    }
    if (verb == "eventwait") {
        int ms = 0;
        if (!(words >> ms) || ms <= 0) {
            reply = "usage: eventwait <ms>";
            return false;
        }
        s.eventWaitMs = ms;
        return true;
    }
    reply = "unknown command " + verb;
    return false;
}

void serveClient(int client)
{
    std::string buffer;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(client, chunk, sizeof chunk);
        if (n <= 0)
            break;
        buffer.append(chunk, size_t(n));
        size_t end;
        while ((end = buffer.find('\n')) != std::string::npos) {
            std::string line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            std::string reply;
            const bool ok = execute(line, reply);
            const std::string answer = (ok ? "ok " : "error ") + reply + "\n";
            if (write(client, answer.data(), answer.size()) < 0)
                break;
        }
    }
    ::close(client);
}

void runSetupFile(const std::string &path)
{
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::string reply;
        if (!execute(line, reply))
            std::fprintf(stderr, "fakeusb: %s: %s\n", line.c_str(), reply.c_str());
    }
}

// Driven from outside the process when FAKEUSB_DIR names a directory.
__attribute__((constructor)) void serveFromEnvironment()
{
    const char *dir = std::getenv("FAKEUSB_DIR");
    if (dir && *dir && fakeusb_serve(dir) != 0)
        std::fprintf(stderr, "fakeusb: cannot serve %s/fakeusb.sock\n", dir);
}

}

extern "C" int fakeusb_command(const char *line, char *reply, int replySize)
{
    std::string text;
    const bool ok = execute(line ? line : "", text);
    if (reply && replySize > 0)
        std::snprintf(reply, size_t(replySize), "%s", text.c_str());
    return ok ? int(text.size()) : -1;
}

extern "C" int fakeusb_serve(const char *dir)
{
    runSetupFile(std::string(dir) + "/setup");
    const std::string path = std::string(dir) + "/fakeusb.sock";
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return -1;
    std::strcpy(address.sun_path, path.c_str());
    const int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0)
        return -1;
    unlink(path.c_str());
    if (bind(server, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0 || listen(server, 8) < 0) {
        ::close(server);
        return -1;
    }
    std::thread([server] {
        for (;;) {
            const int client = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0)
                std::thread(serveClient, client).detach();
        }
    }).detach();
    return 0;
}

// ---- libusb ----

int LIBUSB_CALL libusb_init(libusb_context **context)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    auto *created = new libusb_context;
    state().contexts.push_back(created);
    if (context)
        *context = created;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context *context)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    auto &contexts = state().contexts;
    const auto it = std::find(contexts.begin(), contexts.end(), context);
    if (it == contexts.end())
        return;
    contexts.erase(it);
    delete context;
}

#ifndef FAKEUSB_NO_STRERROR
const char *LIBUSB_CALL libusb_strerror(int code)
{
    switch (code) {
    case LIBUSB_SUCCESS: return "Success";
    case LIBUSB_ERROR_IO: return "Input/Output Error";
    case LIBUSB_ERROR_INVALID_PARAM: return "Invalid parameter";
    case LIBUSB_ERROR_ACCESS: return "Access denied (insufficient permissions)";
    case LIBUSB_ERROR_NO_DEVICE: return "No such device (it may have been disconnected)";
    case LIBUSB_ERROR_NOT_FOUND: return "Entity not found";
    case LIBUSB_ERROR_BUSY: return "Resource busy";
    case LIBUSB_ERROR_TIMEOUT: return "Operation timed out";
    case LIBUSB_ERROR_OVERFLOW: return "Overflow";
    case LIBUSB_ERROR_PIPE: return "Pipe error";
    case LIBUSB_ERROR_INTERRUPTED: return "System call interrupted (perhaps due to signal)";
    case LIBUSB_ERROR_NO_MEM: return "Insufficient memory";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "Operation not supported or unimplemented on this platform";
    default: return "Other error";
    }
}
#endif

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *, libusb_device ***list)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    std::vector<libusb_device *> attached;
    for (libusb_device *device : state().devices) {
        if (device->attached)
            attached.push_back(device);
    }
    auto **array = static_cast<libusb_device **>(std::calloc(attached.size() + 1, sizeof(libusb_device *)));
    std::copy(attached.begin(), attached.end(), array);
    *list = array;
    ++state().lists;
    return ssize_t(attached.size());
}

void LIBUSB_CALL libusb_free_device_list(libusb_device **list, int)
{
    if (!list)
        return;
    std::lock_guard<std::mutex> lock(state().mutex);
    std::free(list);
    --state().lists;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device *device, libusb_device_descriptor *descriptor)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    std::memset(descriptor, 0, sizeof *descriptor);
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->bcdUSB = 0x0200;
    descriptor->idVendor = device->vendorId;
    descriptor->idProduct = device->productId;
    descriptor->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device *device)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return device->bus;
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device *device, uint8_t *ports, int length)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    if (device->portsResult < 0)
        return device->portsResult;
    if (length < int(device->ports.size()))
        return LIBUSB_ERROR_OVERFLOW;
    std::copy(device->ports.begin(), device->ports.end(), ports);
    return int(device->ports.size());
}

int LIBUSB_CALL libusb_get_max_packet_size(libusb_device *, unsigned char)
{
    return 512;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device *, libusb_config_descriptor **)
{
    return LIBUSB_ERROR_NOT_FOUND;
}

void LIBUSB_CALL libusb_free_config_descriptor(libusb_config_descriptor *)
{
}

int LIBUSB_CALL libusb_open(libusb_device *device, libusb_device_handle **handle)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    record(format("open %d", device->id));
    if (!device->attached)
        return LIBUSB_ERROR_NO_DEVICE;
    if (device->openResult != LIBUSB_SUCCESS)
        return device->openResult;
    *handle = new libusb_device_handle {device, device->generation};
    ++state().handles;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle *handle)
{
    if (!handle)
        return;
    std::lock_guard<std::mutex> lock(state().mutex);
    record(format("close %d", handle->device->id));
    --state().handles;
    delete handle;
}

libusb_device *LIBUSB_CALL libusb_get_device(libusb_device_handle *handle)
{
    return handle->device;
}

libusb_device_handle *LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context *, uint16_t vendorId, uint16_t productId)
{
    libusb_device *found = nullptr;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        for (libusb_device *device : state().devices) {
            if (device->attached && device->vendorId == vendorId && device->productId == productId) {
                found = device;
                break;
            }
        }
    }
    libusb_device_handle *handle = nullptr;
    if (found && libusb_open(found, &handle) != LIBUSB_SUCCESS)
        handle = nullptr;
    return handle;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle *handle, int interfaceNumber)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    record(format("claim %d %d", handle->device->id, interfaceNumber));
    if (!alive(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    const auto it = handle->device->claimResult.find(interfaceNumber);
    return it == handle->device->claimResult.end() ? LIBUSB_SUCCESS : it->second;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle *handle, int interfaceNumber)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    record(format("release %d %d", handle->device->id, interfaceNumber));
    return alive(handle) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle *handle, int interfaceNumber)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    if (!alive(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    const auto it = handle->device->kernelDriver.find(interfaceNumber);
    return it == handle->device->kernelDriver.end() ? 0 : it->second;
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle *handle, int interfaceNumber)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    record(format("detach %d %d", handle->device->id, interfaceNumber));
    if (!alive(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    if (handle->device->detachResult != LIBUSB_SUCCESS)
        return handle->device->detachResult;
    handle->device->kernelDriver[interfaceNumber] = 0;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle *handle, int interfaceNumber)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    record(format("attach %d %d", handle->device->id, interfaceNumber));
    if (!alive(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    handle->device->kernelDriver[interfaceNumber] = 1;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle *, int)
{
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle *handle, unsigned char endpoint)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    record(format("clearhalt %d %02x", handle->device->id, endpoint));
    return alive(handle) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle *handle)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return alive(handle) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle *handle, int *configuration)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    if (!alive(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    *configuration = 1;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle *handle, int)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return alive(handle) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle *handle, uint8_t, unsigned char *data, int length)
{
    static const char text[] = "Korvel";
    std::lock_guard<std::mutex> lock(state().mutex);
    if (!alive(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    const int n = std::min(length, int(sizeof text - 1));
    std::memcpy(data, text, size_t(n));
    return n;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle *handle, uint8_t requestType, uint8_t request,
                                        uint16_t value, uint16_t index, unsigned char *, uint16_t length,
                                        unsigned int timeout)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    record(format("control %d %02x %02x %04x %04x %u %u", handle->device->id, requestType, request, value, index,
                  unsigned(length), timeout));
    return alive(handle) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle *handle, unsigned char endpoint, unsigned char *data,
                                     int length, int *transferred, unsigned int timeout)
{
    std::unique_lock<std::mutex> lock(state().mutex);
    if (transferred)
        *transferred = 0;
    libusb_device *device = handle->device;
    const auto gone = [&] {
        return handle->generation == device->generation ? device->goneStatus : LIBUSB_ERROR_NO_DEVICE;
    };
    if (!(endpoint & LIBUSB_ENDPOINT_IN)) {
        if (!alive(handle))
            return LIBUSB_ERROR_NO_DEVICE;
        auto &out = device->out[endpoint];
        out.insert(out.end(), data, data + length);
        if (transferred)
            *transferred = length;
        return LIBUSB_SUCCESS;
    }
    auto &queue = device->in[endpoint];
    waitFor(lock, timeout, [&] { return !alive(handle) || !queue.empty(); });
    if (!alive(handle))
        return gone();
    if (queue.empty())
        return LIBUSB_ERROR_TIMEOUT;
    Packet &packet = queue.front();
    const int n = std::min(length, int(packet.bytes.size()));
    std::copy(packet.bytes.begin(), packet.bytes.begin() + n, data);
    packet.bytes.erase(packet.bytes.begin(), packet.bytes.begin() + n);
    const int status = packet.status;
    if (packet.bytes.empty())
        queue.pop_front();
    if (transferred)
        *transferred = n;
    return status;
}

#ifndef FAKEUSB_NO_HOTPLUG
int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context *context, int events, int flags, int vendorId,
                                                 int productId, int deviceClass, libusb_hotplug_callback_fn function,
                                                 void *userData, libusb_hotplug_callback_handle *handle)
{
    std::unique_lock<std::mutex> lock(state().mutex);
    const Callback callback {state().nextCallbackHandle++, events, vendorId, productId, deviceClass, function, userData};
    if (flags & LIBUSB_HOTPLUG_ENUMERATE) {
        std::vector<libusb_device *> present;
        for (libusb_device *device : state().devices) {
            if (device->attached && matches(callback, device, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED))
                present.push_back(device);
        }
        // Like libusb: reported on the calling thread, before the handle is stored.
        lock.unlock();
        for (libusb_device *device : present)
            function(context, device, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, userData);
        lock.lock();
    }
    context->callbacks.push_back(callback);
    if (handle)
        *handle = callback.handle;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context *context, libusb_hotplug_callback_handle handle)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    removeCallback(context, handle);
    // Like libusb: wakes the event handler, also one that is only about to wait.
    context->wake = true;
    state().changed.notify_all();
}
#endif

int LIBUSB_CALL libusb_handle_events(libusb_context *context)
{
    std::unique_lock<std::mutex> lock(state().mutex);
    ++state().waiters;
    waitFor(lock, unsigned(state().eventWaitMs), [context] { return !context->pending.empty() || context->wake; });
    --state().waiters;
    context->wake = false;
    std::deque<Event> events;
    events.swap(context->pending);
    for (const Event &event : events) {
        std::vector<Callback> callbacks;
        for (const Callback &callback : context->callbacks) {
            if (matches(callback, event.device, event.event))
                callbacks.push_back(callback);
        }
        for (const Callback &callback : callbacks) {
            if (!registered(context, callback.handle))
                continue;
            lock.unlock();
            const int result = callback.function(context, event.device, event.event, callback.userData);
            lock.lock();
            if (result != 0)
                removeCallback(context, callback.handle);
        }
    }
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context *context)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    context->wake = true;
    state().changed.notify_all();
}
