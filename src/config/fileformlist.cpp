#include "config/fileformlist.h"

namespace
{
const QList<FileForm>& noForms()
{
    static const QList<FileForm> none;
    return none;
}
} // namespace

FileFormList::FileFormList(const QList<FileForm>& forms)
{
    if (!forms.isEmpty()) {
        d = new Data;
        d->forms = forms;
    }
}

QList<FileForm>::const_iterator FileFormList::begin() const
{
    return d ? d->forms.cbegin() : noForms().cbegin();
}

QList<FileForm>::const_iterator FileFormList::end() const
{
    return d ? d->forms.cend() : noForms().cend();
}

void FileFormList::append(const FileForm& form)
{
    if (!d)
        d = new Data;
    d->forms.append(form);
}

bool FileFormList::operator==(const FileFormList& other) const
{
    if (d == other.d)
        return true;
    return toList() == other.toList();
}

// Held once per managed file: a list without forms must cost no more than a pointer.
static_assert(sizeof(FileFormList) == sizeof(void*));
