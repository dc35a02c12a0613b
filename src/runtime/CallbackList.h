#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

// Singly linked list of callback registrations, called in registration order.
// A callback may remove any entry of the list it is called from (its own or
// another) or clear it: nodes unlinked during a walk stay alive until the
// outermost walk ends, and the walk skips them.
template <typename Entry>
class CallbackList {
public:
    CallbackList() = default;
    CallbackList(const CallbackList&) = delete;
    CallbackList& operator=(const CallbackList&) = delete;
    ~CallbackList() {
        Destroy(std::move(head_));
        for (auto& chain : retired_) Destroy(std::move(chain));
    }

    void Append(Entry entry) {
        auto node = std::make_unique<Node>(std::move(entry));
        Node* raw = node.get();
        (tail_ ? tail_->next : head_) = std::move(node);
        tail_ = raw;
    }

    // Removes the first entry for which match(entry) is true.
    template <typename Match>
    bool RemoveFirst(Match match) {
        Node* previous = nullptr;
        for (Node* node = head_.get(); node; previous = node, node = node->next.get()) {
            if (!match(node->entry)) continue;
            std::unique_ptr<Node>& link = previous ? previous->next : head_;
            std::unique_ptr<Node> owned = std::move(link);
            link = std::move(owned->next);
            if (tail_ == node) tail_ = previous;
            if (walkDepth_ > 0) {
                owned->removed = true;
                owned->follow = link.get();
                retired_.push_back(std::move(owned));
            }
            return true;
        }
        return false;
    }

    // Calls visit(entry) for every entry, reading the next node first.
    template <typename Visit>
    void ForEach(Visit visit) {
        ++walkDepth_;
        for (Node* node = head_.get(); node;) {
            Node* next = Successor(node);
            if (!node->removed) visit(node->entry);
            node = next;
        }
        if (--walkDepth_ == 0) {
            for (auto& chain : retired_) Destroy(std::move(chain));
            retired_.clear();
        }
    }

    void Clear() {
        tail_ = nullptr;
        if (walkDepth_ == 0) {
            Destroy(std::move(head_));
            return;
        }
        for (Node* node = head_.get(); node; node = node->next.get()) node->removed = true;
        retired_.push_back(std::move(head_));
    }

    bool Empty() const { return head_ == nullptr; }

    size_t Size() const {
        size_t count = 0;
        for (const Node* node = head_.get(); node; node = node->next.get()) ++count;
        return count;
    }

private:
    struct Node {
        explicit Node(Entry e) : entry(std::move(e)) {}
        Entry entry;
        std::unique_ptr<Node> next;
        bool removed = false;
        Node* follow = nullptr;  // successor at the time an unlinked node was retired
    };

    static Node* Successor(Node* node) { return node->follow ? node->follow : node->next.get(); }

    // Iterative, so that long lists do not recurse in the node destructors.
    static void Destroy(std::unique_ptr<Node> node) {
        while (node) node = std::move(node->next);
    }

    std::unique_ptr<Node> head_;
    Node* tail_ = nullptr;
    int walkDepth_ = 0;
    std::vector<std::unique_ptr<Node>> retired_;
};
