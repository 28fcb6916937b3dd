#include "Plugin/Mounter.h"

#include <dlfcn.h>

#include "Kel/Type.h"

namespace Plugin {

void Mounter::contextIs(Context const& context) {
    corralEmIs(context.corralEm);
    localEm_ = context.localEm;
    shared_ = context.shared;
}

Kel::Ptr<Kel::Entity> Mounter::getLocalEntity(std::string_view path) const {
    return localEm_ ? localEm_->getEntity(path) : nullptr;
}

std::string loadLibrary(std::string const& path) {
    // Never closed: the types it registered must outlive every object made
    // from them, which is the life of the process.
    if (dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL) == nullptr) {
        char const* error = dlerror();
        return error ? error : "cannot load " + path;
    }
    return {};
}

Kel::Ptr<Mounter> mounterStart(std::string_view typeName, Vosk::String const& name,
                               Context const& context, std::vector<std::string>* failures) {
    auto mounter = Kel::dynamicPtrCast<Mounter>(Kel::newEntity(typeName, name));
    if (!mounter) {
        throw Kel::Exception("type " + std::string(typeName) + " is not a plug-in mounter");
    }
    mounter->contextIs(context);
    mounter->doInit();
    context.corralEm->doCompleteMounts(failures);
    return mounter;
}

}  // namespace Plugin
