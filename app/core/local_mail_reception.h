// LocalMailReception: the road through the local mail store, tried before
// the POP3 accounts when a profile name is set.
#pragma once

namespace kelmora {

class LocalMailReception {
 public:
  virtual ~LocalMailReception() = default;
  // Fetches the unread messages; returns how many were delivered. Signs its
  // session off itself when it delivers none.
  virtual int FetchMail() = 0;
  virtual bool SessionOpen() const = 0;
  virtual void SignOff() = 0;
};

// No local mail store: nothing is ever delivered through it.
class NoLocalMailReception : public LocalMailReception {
 public:
  int FetchMail() override { return 0; }
  bool SessionOpen() const override { return false; }
  void SignOff() override {}
};

}  // namespace kelmora
