// The general pasteboard over the CLIPBOARD selection. Our contents are offered lazily: the
// toolkit asks for a type's bytes only when somebody pastes.

#include <gtk/gtk.h>

#include <cstring>

#include "platform/Pasteboard.h"

namespace {

// One offer's claim on the clipboard; a later offer makes the earlier one stale.
struct Offer {
  std::weak_ptr<Pasteboard::Contents> contents;
  std::uint64_t generation;
};

bool isText(const std::string& type) { return type == PasteboardType::string; }

void provide(GtkClipboard*, GtkSelectionData* selection, guint index, gpointer user) {
  auto* offer = static_cast<Offer*>(user);
  auto contents = offer->contents.lock();
  if (!contents || contents->generation != offer->generation || index >= contents->types.size()) return;
  const std::string& type = contents->types[index];
  auto it = contents->data.find(type);
  if (it == contents->data.end()) return;
  const Data& bytes = it->second;
  if (isText(type)) {
    std::string text = stringFromData(bytes);
    gtk_selection_data_set_text(selection, text.c_str(), static_cast<gint>(text.size()));
  } else {
    gtk_selection_data_set(selection, gtk_selection_data_get_target(selection), 8, bytes.data(),
                           static_cast<gint>(bytes.size()));
  }
}

void lost(GtkClipboard*, gpointer user) {
  std::unique_ptr<Offer> offer(static_cast<Offer*>(user));
  auto contents = offer->contents.lock();
  if (!contents || contents->generation != offer->generation) return;
  contents->types.clear();
  contents->data.clear();
  contents->held = false;
  ++contents->generation;  // what we wrote is gone: a late write must not come back
}

// Atoms that describe text or the selection protocol rather than a type of their own.
bool isProtocolOrTextAtom(const std::string& name) {
  static const char* names[] = {"TARGETS", "TIMESTAMP", "MULTIPLE", "SAVE_TARGETS", "UTF8_STRING", "STRING",
                                "TEXT", "COMPOUND_TEXT", "text/plain", "text/plain;charset=utf-8"};
  for (const char* n : names)
    if (name == n) return true;
  return false;
}

class ClipboardBackend : public Pasteboard::Backend {
 public:
  explicit ClipboardBackend(GtkClipboard* clipboard) : clipboard_(clipboard) {}

  void offer(const std::shared_ptr<Pasteboard::Contents>& contents) override {
    GtkTargetList* list = gtk_target_list_new(nullptr, 0);
    for (guint i = 0; i < contents->types.size(); ++i) {
      const std::string& type = contents->types[i];
      if (isText(type))
        gtk_target_list_add_text_targets(list, i);
      else
        gtk_target_list_add(list, gdk_atom_intern(type.c_str(), FALSE), 0, i);
    }
    gint count = 0;
    GtkTargetEntry* table = gtk_target_table_new_from_list(list, &count);
    gtk_target_list_unref(list);
    if (count == 0) {
      // Nothing to offer: give the clipboard up.
      gtk_clipboard_clear(clipboard_);
      gtk_target_table_free(table, count);
      return;
    }
    auto* claim = new Offer{contents, contents->generation};
    if (!gtk_clipboard_set_with_data(clipboard_, table, static_cast<guint>(count), provide, lost, claim)) delete claim;
    else gtk_clipboard_set_can_store(clipboard_, nullptr, 0);
    gtk_target_table_free(table, count);
  }

  std::vector<std::string> foreignTypes() override {
    std::vector<std::string> types;
    GdkAtom* atoms = nullptr;
    gint count = 0;
    if (!gtk_clipboard_wait_for_targets(clipboard_, &atoms, &count)) return types;
    if (gtk_targets_include_text(atoms, count)) types.emplace_back(PasteboardType::string);
    for (gint i = 0; i < count; ++i) {
      gchar* name = gdk_atom_name(atoms[i]);
      if (name && !isProtocolOrTextAtom(name)) types.emplace_back(name);
      g_free(name);
    }
    g_free(atoms);
    return types;
  }

  std::optional<Data> foreignData(const std::string& type) override {
    if (isText(type)) {
      gchar* text = gtk_clipboard_wait_for_text(clipboard_);
      if (!text) return std::nullopt;
      Data bytes = dataFromString(text);
      g_free(text);
      return bytes;
    }
    GtkSelectionData* selection = gtk_clipboard_wait_for_contents(clipboard_, gdk_atom_intern(type.c_str(), FALSE));
    if (!selection) return std::nullopt;
    gint length = 0;
    const guchar* bytes = gtk_selection_data_get_data_with_length(selection, &length);
    std::optional<Data> out;
    if (bytes && length >= 0) out = Data(bytes, bytes + length);
    gtk_selection_data_free(selection);
    return out;
  }

 private:
  GtkClipboard* clipboard_;  // owned by the toolkit for the display's life
};

}  // namespace

std::unique_ptr<Pasteboard::Backend> makeClipboardBackend() {
  GdkDisplay* display = gdk_display_get_default();
  if (!display) return nullptr;
  return std::make_unique<ClipboardBackend>(gtk_clipboard_get_for_display(display, GDK_SELECTION_CLIPBOARD));
}
