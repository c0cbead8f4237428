#include "OstrelViewController.h"

#include "canvas/OstrelError.h"
#include "platform/RunLoop.h"

std::shared_ptr<OstrelViewController> OstrelViewController::create(bool tutorialMode) {
  std::shared_ptr<OstrelViewController> controller(new OstrelViewController(tutorialMode));
  controller->setUp();
  return controller;
}

KXDocumentContainerDataSource& OstrelViewController::dataSourceForDocumentJSON() {
  if (!dataSourceForDocumentJSON_) {
    std::weak_ptr<BaseOstrelViewController> weak = weak_from_this();
    dataSourceForDocumentJSON_ = std::make_unique<KXDocumentContainerDataSource>(
        [](const Data&) {},  // the page loads from its own address, not from these bytes
        [weak](KXDocumentContainerDataSource::ProviderCompletion completion) {
          auto self = weak.lock();
          if (!self) {
            completion(std::nullopt, OstrelError::ostrelNotReady());
            return;
          }
          // The preview and the shared page read the design from the working copy: once it holds
          // this content (the completion writes it), they are told to read it again.
          self->exportOstrelDocumentData([weak, completion = std::move(completion)](std::optional<Data> data, std::optional<Error> error) {
            bool provided = data.has_value() && !error;
            completion(std::move(data), std::move(error));
            if (!provided) return;
            MainQueue::async([weak] {
              if (auto self = weak.lock()) self->previewLoaded();
            });
          });
        });
  }
  return *dataSourceForDocumentJSON_;
}

void OstrelViewController::ostrelDocumentDataArrived() { dataSourceForDocumentJSON().answerArrived(); }

void OstrelViewController::ostrelDocumentDidBecomeDirty() { dataSourceForDocumentJSON().setNeedsToBeProvided(); }
