#pragma once
// The content of one project file held outside the project folder while the document is open
// (the editor's document JSON). The container loads it at every read and asks its provider
// for fresh content before it writes. Main thread only.

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/Data.h"
#include "platform/Error.h"
#include "platform/ObserverToken.h"

class KXDocumentContainerDataSource {
 public:
  using Reader = std::function<void(const Data& content)>;
  // Must be called exactly once per request, on the main thread, at once or later. Content
  // with an error is content the provider refuses as the file's (text that isn't what the file
  // holds): it is not written, and is handed on to be kept elsewhere.
  using ProviderCompletion = std::function<void(std::optional<Data> content, std::optional<Error> error)>;
  using Provider = std::function<void(ProviderCompletion completion)>;

  KXDocumentContainerDataSource(Reader reader, Provider provider)
      : reader_(std::move(reader)), provider_(std::move(provider)) {}
  KXDocumentContainerDataSource() = delete;

  const Data& data() const { return data_; }
  bool dataNeedsToBeProvided() const { return dataNeedsToBeProvided_; }
  // Why the last request gave no content, when the provider said; cleared by content.
  const std::optional<Error>& refusal() const { return refusal_; }

  // Content that was provided but can't be written: the source stays stale, for `why`.
  void refuse(Error why) {
    refusal_ = std::move(why);
    setNeedsToBeProvided();
  }

  // The editor changed the content: it must be asked for before the next write.
  void setNeedsToBeProvided() {
    dataNeedsToBeProvided_ = true;
    notify();
  }

  // The content as read from the project folder; the source keeps the one copy.
  void load(Data content) {
    data_ = std::move(content);
    dataNeedsToBeProvided_ = false;
    refusal_.reset();
    if (reader_) reader_(data_);
    notify();
  }

  // Asks the provider; `completion` receives the fresh content (held by the source, not
  // copied), or none when the provider had none to give (the source then stays stale).
  void provideData(std::function<void(const Data* provided)> completion) {
    auto weakAlive = std::weak_ptr<bool>(alive_);
    ++requests_;
    provider_([this, weakAlive, completion = std::move(completion)](std::optional<Data> content,
                                                                    std::optional<Error> error) {
      if (weakAlive.expired()) return;
      if (requests_ > 0 && --requests_ == 0) answerInHand_ = false;
      if (!content || error) {
        dataNeedsToBeProvided_ = true;
        refusal_ = std::move(error);
        if (refusal_) refusedContent_ = std::move(content);
        completion(nullptr);
        return;
      }
      data_ = std::move(*content);
      dataNeedsToBeProvided_ = false;
      refusal_.reset();
      completion(&data_);
    });
  }

  // The provider has its answer in hand and only korvel's own work on it is left before the
  // completion (a design at the bound is laid out beside the main loop, for seconds on a busy
  // machine): a write pass that waits for it waits to the end rather than giving up at its time-out.
  void answerArrived() {
    if (requests_ > 0) answerInHand_ = true;
  }
  bool hasAnswerInHand() const { return answerInHand_; }

  // The content the last answer refused, once, for the caller to keep elsewhere.
  std::optional<Data> takeRefusedContent() { return std::exchange(refusedContent_, std::nullopt); }

  // Called after every change notice of dataNeedsToBeProvided, changed or not.
  [[nodiscard]] ObserverToken observeDataNeedsToBeProvided(std::function<void()> didChange) {
    auto entry = std::make_shared<std::function<void()>>(std::move(didChange));
    observers_.push_back(entry);
    std::weak_ptr<bool> weakAlive = alive_;
    std::weak_ptr<std::function<void()>> weakEntry = entry;
    return ObserverToken([this, weakAlive, weakEntry] {
      if (weakAlive.expired()) return;
      if (auto e = weakEntry.lock()) std::erase(observers_, e);
    });
  }

 private:
  void notify() {
    auto observers = observers_;
    for (auto& o : observers) (*o)();
  }

  Reader reader_;
  Provider provider_;
  Data data_;
  bool dataNeedsToBeProvided_ = true;
  std::optional<Error> refusal_;
  std::optional<Data> refusedContent_;
  std::size_t requests_ = 0;  // asked and not yet answered
  bool answerInHand_ = false;
  std::vector<std::shared_ptr<std::function<void()>>> observers_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
