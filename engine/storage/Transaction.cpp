#include "engine/storage/Transaction.h"

#include "engine/storage/Query.h"

Transaction::Transaction(Query& transactionQuery)
    : query(transactionQuery)
{
    query.executeOrThrow("begin transaction", "begin transaction");
    changesBefore = query.changesMade();
}

Transaction::~Transaction()
{
    if (!committed)
        query.rollbackOpenTransaction();
}

void Transaction::commit()
{
    // Only a writer holds the write lock already: a reading transaction
    // stays one.
    if (query.changesMade() != changesBefore)
        query.runUpkeep();
    query.executeOrThrow("commit transaction", "commit transaction");
    committed = true;
}
