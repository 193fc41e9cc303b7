<<
update customer set balance = balance + 100
 where customerid = 101
>>
<<
update customer set custname = upper(custname) where city = 'Goa'
>>
