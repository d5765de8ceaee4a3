#include "elf_view.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

template <typename Record>
bool readAt(const std::vector<char> &file, size_t offset, Record *record) {
    if (offset > file.size() || file.size() - offset < sizeof(Record)) return false;
    memcpy(record, file.data() + offset, sizeof(Record));
    return true;
}

std::string textAt(const std::vector<char> &file, const Elf64_Shdr &strings, size_t index) {
    size_t offset = strings.sh_offset + index;
    if (index >= strings.sh_size || offset >= file.size()) return "";
    return std::string(file.data() + offset, strnlen(file.data() + offset, file.size() - offset));
}

void readDynamicSection(const std::vector<char> &file, const Elf64_Shdr &section, const Elf64_Shdr &strings,
                        ElfDynamicView *view) {
    for (size_t at = 0; at + sizeof(Elf64_Dyn) <= section.sh_size; at += sizeof(Elf64_Dyn)) {
        Elf64_Dyn entry;
        if (!readAt(file, section.sh_offset + at, &entry) || entry.d_tag == DT_NULL) return;
        std::string text = textAt(file, strings, entry.d_un.d_val);
        if (entry.d_tag == DT_NEEDED) view->needed.push_back(text);
        if (entry.d_tag == DT_SONAME) view->soname = text;
        if (entry.d_tag == DT_RUNPATH) view->hasRunpath = true, view->runpath = text;
        if (entry.d_tag == DT_RPATH) view->hasRpath = true;
    }
}

void readDynamicSymbols(const std::vector<char> &file, const Elf64_Shdr &section, const Elf64_Shdr &strings,
                        ElfDynamicView *view) {
    for (size_t at = 0; at + sizeof(Elf64_Sym) <= section.sh_size; at += sizeof(Elf64_Sym)) {
        Elf64_Sym symbol;
        if (!readAt(file, section.sh_offset + at, &symbol)) return;
        int binding = ELF64_ST_BIND(symbol.st_info);
        int visibility = ELF64_ST_VISIBILITY(symbol.st_other);
        if (symbol.st_shndx == SHN_UNDEF || (binding != STB_GLOBAL && binding != STB_WEAK) ||
            (visibility != STV_DEFAULT && visibility != STV_PROTECTED))
            continue;
        std::string name = textAt(file, strings, symbol.st_name);
        if (ELF64_ST_TYPE(symbol.st_info) == STT_FUNC) view->exportedFunctions.insert(name);
        if (ELF64_ST_TYPE(symbol.st_info) == STT_OBJECT) view->exportedObjects.insert(name);
    }
}

}  // namespace

ElfDynamicView readElfDynamicView(const std::string &path) {
    ElfDynamicView view;
    std::ifstream stream(path, std::ios::binary);
    std::vector<char> file((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    Elf64_Ehdr header;
    if (!readAt(file, 0, &header) || memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64)
        return view;
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    for (size_t i = 0; i < sections.size(); i++)
        if (!readAt(file, header.e_shoff + i * sizeof(Elf64_Shdr), &sections[i])) return view;
    for (const Elf64_Shdr &section : sections) {
        if (section.sh_link >= sections.size()) continue;
        if (section.sh_type == SHT_DYNAMIC) readDynamicSection(file, section, sections[section.sh_link], &view);
        if (section.sh_type == SHT_DYNSYM) readDynamicSymbols(file, section, sections[section.sh_link], &view);
    }
    view.read = true;
    return view;
}

std::set<std::string> apiNames(const std::set<std::string> &names) {
    std::set<std::string> api;
    for (const std::string &name : names)
        if (!name.empty() && name[0] != '_') api.insert(name);
    return api;
}
