#include "core/platform_kni.h"

#include "core/log.h"
#include "core/work_thread.h"

#include <cstdlib>
#include <new>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

pf_ipc_list_t *channel = nullptr;

void queue_setup(pf_ipc_queue_t *q, uint32_t id, pf_ipc_event_t *slots) {
    q->id = id;
    q->queue_size = PF_IPC_QUEUE_SIZE;
    q->queue = slots;
}

void queue_close(pf_ipc_queue_t *q) {
    if (q->ev_data.fd == 0) return;
    if (q->thread && q->thread->epoll_fd) (void)ev_del_event(q->thread->epoll_fd, &q->ev_data);
    close(q->ev_data.fd);
    q->ev_data.fd = 0;
}

// Publishes one message on a ring and wakes the consumer when it may have gone idle: only when
// the ring was empty at publication. A non-empty ring means the consumer has a wake-up pending or
// is draining and will reach this slot: the publication (rear) and the consumer's progress (front)
// are sequentially consistent, so either the consumer sees the new rear before it stops, or the
// producer sees the front that caught up and writes. The wake-up is best effort once the slot is
// visible: a failed write only delays delivery to the consumer's next wake-up.
bool queue_push(pf_ipc_queue_t *q, uint32_t from, uint32_t type, void *data) {
    uint32_t rear = q->rear.load(std::memory_order_relaxed);
    uint32_t next = (rear + 1) % q->queue_size;
    if (next == q->front.load(std::memory_order_acquire)) return false;
    q->queue[rear] = pf_ipc_event_t{from, type, data};
    q->rear.store(next, std::memory_order_seq_cst);
    if (q->front.load(std::memory_order_seq_cst) == rear) {
        uint64_t one = 1;
        (void)!write(q->ev_data.fd, &one, sizeof one);
    }
    return true;
}

} // namespace

void pf_run(int (*fn)(work_thread_t *), work_thread_t *thread) {
    while (fn(thread) == 0) {
    }
}

bool pf_ipc_set_callback(pf_ipc_queue_t *queue, work_thread_t *thread, pf_ipc_callback callback) {
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return false;
    queue->ev_data.fd = fd;
    queue->thread = thread;
    queue->ev_data.other_ctx = queue;
    queue->callback = callback;
    if (!ev_add_event(thread->epoll_fd, &queue->ev_data, EPOLLIN | EPOLLET, pf_ipc_on_data)) {
        close(fd);
        queue->ev_data.fd = 0;
        return false;
    }
    return true;
}

bool pf_ipc_init(work_thread_t *threads, uint32_t count, pf_ipc_callback callback) {
    if (channel) return true;
    channel = static_cast<pf_ipc_list_t *>(calloc(1, sizeof(pf_ipc_list_t)));
    if (channel == nullptr) return false;
    channel->buf = static_cast<pf_ipc_event_t *>(
        calloc(static_cast<size_t>(count) * 2 * PF_IPC_QUEUE_SIZE, sizeof(pf_ipc_event_t)));
    void *list_mem = calloc(count, sizeof(pf_ipc_t));
    if (channel->buf == nullptr || list_mem == nullptr) {
        free(list_mem);
        pf_ipc_close();
        return false;
    }
    channel->list = static_cast<pf_ipc_t *>(list_mem);
    for (uint32_t i = 0; i < count; i++)
        new (&channel->list[i]) pf_ipc_t{};
    channel->count = count;
    for (uint32_t i = 0; i < count; i++) {
        pf_ipc_t *p = &channel->list[i];
        pf_ipc_event_t *slots = channel->buf + static_cast<size_t>(i) * 2 * PF_IPC_QUEUE_SIZE;
        queue_setup(&p->rx, i, slots);
        queue_setup(&p->tx, 0, slots + PF_IPC_QUEUE_SIZE);
        if (!pf_ipc_set_callback(&p->rx, &threads[i], callback) ||
            !pf_ipc_set_callback(&p->tx, &threads[0], callback))
            return false;
    }
    return true;
}

bool pf_ipc_send_to_main(uint32_t from, uint32_t type, void *data) {
    if (channel == nullptr || from >= channel->count) return false;
    pf_ipc_queue_t *q = &channel->list[from].tx;
    if (from == 0) {
        if (q->callback) q->callback(q->thread, 0, 0, type, data);
        return true;
    }
    return queue_push(q, from, type, data);
}

bool pf_ipc_send_to_worker(uint32_t to, uint32_t type, void *data) {
    if (channel == nullptr || to >= channel->count) return false;
    pf_ipc_queue_t *q = &channel->list[to].rx;
    if (to == 0) {
        if (q->callback) q->callback(q->thread, 0, 0, type, data);
        return true;
    }
    return queue_push(q, 0, type, data);
}

void pf_ipc_on_data(x_server_t *, event_data_t *ev, uint32_t) {
    auto *q = static_cast<pf_ipc_queue_t *>(ev->other_ctx);
    uint64_t counter;
    // Reset the counter before draining so that a message published meanwhile raises a new edge.
    // A failed read is no reason to leave published messages waiting.
    (void)!read(ev->fd, &counter, sizeof counter);
    for (;;) {
        uint32_t front = q->front.load(std::memory_order_relaxed);
        if (front == q->rear.load(std::memory_order_seq_cst)) break;
        pf_ipc_event_t msg = q->queue[front];
        // Advance first: the callback may itself send messages.
        q->front.store((front + 1) % q->queue_size, std::memory_order_seq_cst);
        q->callback(q->thread, q->id, msg.from, msg.type, msg.data);
    }
}

void pf_ipc_close() {
    if (channel == nullptr) return;
    if (channel->list) {
        for (uint32_t i = 0; i < channel->count; i++) {
            queue_close(&channel->list[i].rx);
            queue_close(&channel->list[i].tx);
            channel->list[i].~pf_ipc_t();
        }
    }
    free(channel->list);
    free(channel->buf);
    free(channel);
    channel = nullptr;
}
