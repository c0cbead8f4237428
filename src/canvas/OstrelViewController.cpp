#include "OstrelViewController.h"

#include "canvas/OstrelError.h"

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
          self->exportOstrelDocumentData(std::move(completion));
        });
  }
  return *dataSourceForDocumentJSON_;
}

void OstrelViewController::ostrelDocumentDidBecomeDirty() { dataSourceForDocumentJSON().setNeedsToBeProvided(); }
