#include "ir/module.h"

#include <bit>
#include <cstdint>
#include <utility>

#include <fmt/format.h>

namespace compiler::ir::module {

std::string_view signature_name(Signature signature) {
  switch (signature) {
    case Signature::Count:
      return "Count";
    case Signature::Ranks:
      return "Ranks";
    case Signature::Shapes:
      return "Shapes";
    case Signature::Exec:
      return "Exec";
    case Signature::Kernel:
      return "Kernel";
  }
  std::unreachable();
}

std::vector<Ident> signature_params(Signature signature) {
  switch (signature) {
    case Signature::Count:
      return {};
    case Signature::Ranks:
      return {"ranks"};
    case Signature::Shapes:
      return {"inputs", "shapes"};
    case Signature::Exec:
      return {"inputs", "outputs"};
    case Signature::Kernel:
      return {"readonlys", "writeables"};
  }
  std::unreachable();
}

std::string_view field_name(FieldName field) {
  switch (field) {
    case FieldName::Data:
      return "data";
    case FieldName::Shape:
      return "shape";
    case FieldName::Layout:
      return "layout";
    case FieldName::Rank:
      return "rank";
  }
  std::unreachable();
}

std::string_view conversion_name(Conversion conversion) {
  switch (conversion) {
    case Conversion::AsView:
      return "as_view";
    case Conversion::AsViewMut:
      return "as_view_mut";
    case Conversion::ViewMutAsView:
      return "view_mut_as_view";
  }
  std::unreachable();
}

std::string type_name(const Type& type) {
  struct Visitor {
    std::string operator()(const ty::Usize&) const { return "Usize"; }
    std::string operator()(const ty::Scalar&) const { return "Scalar"; }
    std::string operator()(const ty::Tensor&) const { return "Tensor"; }
    std::string operator()(const ty::TensorMut&) const { return "TensorMut"; }
    std::string operator()(const ty::View&) const { return "View"; }
    std::string operator()(const ty::ViewMut&) const { return "ViewMut"; }
    std::string operator()(const ty::Array& a) const {
      return fmt::format("Array({})", type_name(*a.element));
    }
  };
  return std::visit(Visitor{}, type.node);
}

bool expr::Float::operator==(const Float& other) const {
  return std::bit_cast<std::uint32_t>(value) == std::bit_cast<std::uint32_t>(other.value);
}

}  // namespace compiler::ir::module
