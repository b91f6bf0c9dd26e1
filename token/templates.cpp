// Attribute templates: 32 entries, and the label template that starts almost every search.
#include <algorithm>

#include "token/object_access.h"
#include "token/state.h"

namespace kestrune::token {

std::size_t detail::setEntry(AttributeTemplate& tmpl, std::size_t index, CK_ATTRIBUTE_TYPE type,
                             const void* value, CK_ULONG length) {
  if (index >= tmpl.size()) return index;
  if (index == 0) std::fill(tmpl.begin(), tmpl.end(), CK_ATTRIBUTE{});
  // The module only reads template values of searches and creations.
  tmpl[index] = CK_ATTRIBUTE{type, const_cast<void*>(value), length};
  return index + 1;
}

std::uint32_t p11_SetTemplateEntry(AttributeTemplate& tmpl, std::size_t index,
                                   CK_ATTRIBUTE_TYPE type, const void* value, CK_ULONG length) {
  if (!detail::libraryLoaded()) return +TokenCode::kNoLibrary;
  return static_cast<std::uint32_t>(detail::setEntry(tmpl, index, type, value, length));
}

void p11_LabelTemplate(std::uint32_t privateFlag, std::string_view label, AttributeTemplate& tmpl) {
  detail::setEntry(tmpl, 0, CKA_TOKEN, &detail::kTrue, sizeof detail::kTrue);
  detail::setEntry(tmpl, 1, CKA_PRIVATE, privateFlag == 1 ? &detail::kTrue : &detail::kFalse,
                   sizeof(CK_BBOOL));
  detail::setEntry(tmpl, 2, CKA_LABEL, label.data(), static_cast<CK_ULONG>(label.size()));
}

}  // namespace kestrune::token
