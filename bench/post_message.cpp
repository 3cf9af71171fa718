// Cost of one message through the loop (PostMessage, GetMessage,
// DispatchMessage) beside the same work on a plain std::deque.
#include "platform/MessageLoop.h"

#include <chrono>
#include <cstdio>
#include <deque>

using namespace pv;

namespace {

constexpr int kMessages = 1000000;

volatile LRESULT sink = 0;

LRESULT Handler(HWND, UINT msg, WPARAM wParam, LPARAM lParam) {
    sink = sink + LRESULT(msg + wParam) + lParam;
    return 0;
}

template <class F> double NsPerMessage(F &&run) {
    auto start = std::chrono::steady_clock::now();
    run();
    std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    return took.count() / kMessages;
}

} // namespace

int main() {
    HWND hwnd = CreateWindow(Handler);
    WNDPROC proc = Handler; // the deque's handler goes through std::function too

    double loop = NsPerMessage([&] {
        MSG msg;
        for (int i = 0; i < kMessages; ++i) {
            PostMessage(hwnd, WM_USER, WPARAM(i), 0);
            GetMessage(msg);
            DispatchMessage(msg);
        }
    });
    double plain = NsPerMessage([&] {
        std::deque<MSG> queue;
        for (int i = 0; i < kMessages; ++i) {
            queue.push_back(MSG{hwnd, WM_USER, WPARAM(i), 0});
            MSG msg = queue.front();
            queue.pop_front();
            proc(msg.hwnd, msg.message, msg.wParam, msg.lParam);
        }
    });
    DestroyWindow(hwnd);

    std::printf("%d messages\n", kMessages);
    std::printf("message loop: %8.1f ns per message\n", loop);
    std::printf("plain deque:  %8.1f ns per message\n", plain);
    std::printf("ratio:        %8.1f\n", loop / plain);
    return 0;
}
