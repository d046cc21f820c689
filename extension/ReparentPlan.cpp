#include "ReparentPlan.h"

namespace pixavella {

namespace {

using Node = FPNode::Kind;
using Plan = ReparentPlan::Kind;

ReparentPlan plan(Plan kind, QString source = {}, QString target = {})
{
    return ReparentPlan{kind, std::move(source), std::move(target)};
}

} // namespace

ReparentPlan ReparentPlan::decide(const FPNode& item, const std::optional<FPNode>& newParent)
{
    const bool library = item.is(Node::asset);
    // Photos of someone else's album are only shown there; none of them may be moved.
    if ((!library && !item.is(Node::albumItem)) || !newParent)
        return plan(Plan::refuse);
    switch (newParent->kind()) {
    case Node::album:
        if (library)
            return plan(Plan::addToAlbum, {}, newParent->albumId());
        if (item.albumId() == newParent->albumId())
            return plan(Plan::noop);
        return plan(Plan::move, item.albumId(), newParent->albumId());
    case Node::sharedAlbum:
        return plan(Plan::addToSharedAlbum, {}, newParent->albumId());
    case Node::photos:
    case Node::year:
    case Node::month:
        return library ? plan(Plan::noop) : plan(Plan::removeFromAlbum, item.albumId());
    default:
        return plan(Plan::refuse);
    }
}

} // namespace pixavella
